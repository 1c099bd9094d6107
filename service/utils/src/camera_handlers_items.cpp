// Handlers of the camera's product and template commands: the product list, templates of one
// product, deletions (local and fleet-wide) and sold-out data.

#include "camera_handler_answers.h"
#include "camera_handlers.h"
#include "json_lists.h"
#include "models_items.h"
#include "pellix_driver.h"
#include "request_body.h"

namespace korvane::Utils {

namespace {

// One object per element of the camera's list, in the camera's order.
template <class T, class Build>
Poco::JSON::Array::Ptr arrayOf(const std::vector<T>& elements, Build build) {
    Poco::JSON::Array::Ptr array = new Poco::JSON::Array;
    for (const auto& element : elements) {
        array->add(build(element));
    }
    return array;
}

}  // namespace

Poco::JSON::Object::Ptr process_get_item_list(const CameraDriverPtr& driver, bool post) {
    return answer(driver->get_item_list(post), [](const std::vector<Models::GetItemRes>& items) {
        return arrayOf(items, [](const Models::GetItemRes& item) {
            auto object = jsonObject({{"count", item.count}, {"id", item.id}});
            if (item.soldout) {
                object->set("soldout", *item.soldout);
            }
            return object;
        });
    });
}

Poco::JSON::Object::Ptr process_get_deletion_all_progress(const CameraDriverPtr& driver) {
    return answer(
        driver->get_deletion_all_progress(),
        [](const std::vector<Models::GetDeletionAllProgressItemRes>& items) {
            return arrayOf(items, [](const Models::GetDeletionAllProgressItemRes& item) {
                return jsonObject({{"SNs", vectorToJsonArray(item.SNs)}, {"id", item.id}});
            });
        });
}

Poco::JSON::Object::Ptr process_add_item_template(const Poco::JSON::Object::Ptr& body,
                                                  const CameraDriverPtr& driver) {
    const RequestBody in(body);
    return answer(driver->add_item_template({.id = in.required<std::string>("id")}),
                  [](const Models::AddItemTemplateRes& added) {
                      return jsonObject({{"image", added.image}, {"sid", added.sid}});
                  });
}

Poco::JSON::Object::Ptr process_get_item_template_list(const Poco::JSON::Object::Ptr& body,
                                                       const CameraDriverPtr& driver) {
    const RequestBody in(body);
    const auto [code, sids, max] =
        driver->get_item_template_list({.id = in.required<std::string>("id")});
    auto envelope = answer(code, [&sids = sids] { return vectorToJsonArray(sids); });
    if (code == 0) {
        envelope->set("max", max);
    }
    return envelope;
}

Poco::JSON::Object::Ptr process_delete_item_template(const Poco::JSON::Object::Ptr& body,
                                                     const CameraDriverPtr& driver) {
    const RequestBody in(body);
    return get_empty_response(driver->delete_item_template(
        {.id = in.required<std::string>("id"), .sid = in.required<std::string>("sid")}));
}

Poco::JSON::Object::Ptr process_delete_item(const Poco::JSON::Object::Ptr& body,
                                            const CameraDriverPtr& driver) {
    const RequestBody in(body);
    return get_empty_response(driver->delete_item({.id = in.required<std::string>("id")}));
}

Poco::JSON::Object::Ptr process_clear_all_template(const CameraDriverPtr& driver) {
    return get_empty_response(driver->clear_all_template());
}

Poco::JSON::Object::Ptr process_set_sold_out_status(const Poco::JSON::Object::Ptr& body,
                                                    const CameraDriverPtr& driver) {
    const RequestBody in(body);
    return get_empty_response(driver->set_sold_out_status(
        {.id = in.required<std::string>("id"), .soldout = in.required<bool>("soldout")}));
}

Poco::JSON::Object::Ptr process_set_deletion_all_flag(const Poco::JSON::Object::Ptr& body,
                                                      const CameraDriverPtr& driver) {
    const RequestBody in(body);
    return get_empty_response(
        driver->set_deletion_all_flag({.id = in.required<std::string>("id")}));
}

Poco::JSON::Object::Ptr process_clear_deletion_all_flag(const Poco::JSON::Object::Ptr& body,
                                                        const CameraDriverPtr& driver) {
    const RequestBody in(body);
    return get_empty_response(
        driver->clear_deletion_all_flag({.id = in.required<std::string>("id")}));
}

}  // namespace korvane::Utils
