#include "template_commands.h"

#include <Poco/Base64Encoder.h>
#include <Poco/JSON/Array.h>

#include <algorithm>
#include <sstream>

#include "sample_jpeg.h"

namespace korvane::CameraSim {
namespace {

std::string requiredId(const SimRequest& request) {
    std::string id = needString(bodyObject(request), "id");
    if (id.empty()) throw CommandError(kParameterError, "Parameter error: id is empty");
    return id;
}

Product& existingProduct(DeviceData& d, const std::string& id) {
    auto found = d.products.find(id);
    if (found == d.products.end()) {
        throw CommandError(kParameterError, "Parameter error: unknown product " + id);
    }
    return found->second;
}

const std::string& templateImageBase64() {
    static const std::string encoded = [] {
        std::ostringstream out;
        Poco::Base64Encoder encoder(out);
        encoder.rdbuf()->setLineLength(0);
        encoder << sampleJpeg();
        encoder.close();
        return out.str();
    }();
    return encoded;
}

}  // namespace

TemplateCommands::TemplateCommands(CameraState& state) : state_(state) {}

void TemplateCommands::registerInto(CommandTable& table) {
    using T = TemplateCommands;
    addCommand(table, "get_item_list", Verb::Any, this, &T::getItemList);
    addCommand(table, "add_item_template", Verb::Post, this, &T::addItemTemplate);
    addCommand(table, "get_item_template_list", Verb::Post, this, &T::getItemTemplateList);
    addCommand(table, "delete_item_template", Verb::Post, this, &T::deleteItemTemplate);
    addCommand(table, "delete_item", Verb::Post, this, &T::deleteItem);
    addCommand(table, "clear_all_template", Verb::Post, this, &T::clearAllTemplate);
    addCommand(table, "set_sold_out_status", Verb::Post, this, &T::setSoldOutStatus);
    addCommand(table, "set_deletion_all_flag", Verb::Post, this, &T::setDeletionAllFlag);
    addCommand(table, "clear_deletion_all_flag", Verb::Post, this, &T::clearDeletionAllFlag);
    addCommand(table, "get_deletion_all_progress", Verb::Any, this, &T::getDeletionAllProgress);
}

// Empty lists come back as null, the way the camera's firmware writes them.
SimReply TemplateCommands::getItemList(const SimRequest&) {
    return state_.with([](DeviceData& d) {
        if (d.products.empty()) return okReply();
        Poco::JSON::Array::Ptr items = new Poco::JSON::Array;
        for (const auto& [id, product] : d.products) {
            Poco::JSON::Object::Ptr item = newObject();
            item->set("id", id);
            item->set("count", static_cast<int>(product.templates.size()));
            if (product.soldout) item->set("soldout", *product.soldout);
            items->add(item);
        }
        return okReply(items);
    });
}

SimReply TemplateCommands::addItemTemplate(const SimRequest& request) {
    const std::string id = requiredId(request);
    const std::string sid = state_.with([&id](DeviceData& d) {
        Product& product = d.products[id];
        if (static_cast<int>(product.templates.size()) >= d.maxTemplates) {
            throw CommandError(kParameterError,
                               "Parameter error: template limit reached for " + id);
        }
        product.templates.push_back(nextSerialId(d, "T"));
        return product.templates.back();
    });
    Poco::JSON::Object::Ptr data = newObject();
    data->set("sid", sid);
    data->set("image", templateImageBase64());
    return okReply(data);
}

SimReply TemplateCommands::getItemTemplateList(const SimRequest& request) {
    const std::string id = requiredId(request);
    return state_.with([&id](DeviceData& d) {
        Poco::JSON::Object::Ptr reply = newObject();
        reply->set("code", 0);
        reply->set("msg", "success");
        auto found = d.products.find(id);
        if (found == d.products.end() || found->second.templates.empty()) {
            reply->set("data", Poco::Dynamic::Var());
        } else {
            Poco::JSON::Array::Ptr sids = new Poco::JSON::Array;
            for (const auto& sid : found->second.templates) sids->add(sid);
            reply->set("data", sids);
        }
        reply->set("max", d.maxTemplates);
        return jsonReply(200, reply);
    });
}

SimReply TemplateCommands::deleteItemTemplate(const SimRequest& request) {
    const auto body = bodyObject(request);
    const std::string id = needString(body, "id");
    const std::string sid = needString(body, "sid");
    return state_.with([&](DeviceData& d) {
        auto& templates = existingProduct(d, id).templates;
        auto found = std::find(templates.begin(), templates.end(), sid);
        if (found == templates.end()) {
            throw CommandError(kParameterError, "Parameter error: unknown template " + sid);
        }
        templates.erase(found);
        return okReply();
    });
}

SimReply TemplateCommands::deleteItem(const SimRequest& request) {
    const std::string id = requiredId(request);
    return state_.with([&id](DeviceData& d) {
        existingProduct(d, id);
        d.products.erase(id);
        return okReply();
    });
}

SimReply TemplateCommands::clearAllTemplate(const SimRequest&) {
    return state_.with([](DeviceData& d) {
        d.products.clear();
        return okReply();
    });
}

SimReply TemplateCommands::setSoldOutStatus(const SimRequest& request) {
    const auto body = bodyObject(request);
    const std::string id = needString(body, "id");
    const bool soldout = needBool(body, "soldout");
    return state_.with([&](DeviceData& d) {
        existingProduct(d, id).soldout = soldout;
        return okReply();
    });
}

// Flagging a product for deletion on every synchronised device removes it here at once; the
// progress lists the devices that have done so, this one first.
SimReply TemplateCommands::setDeletionAllFlag(const SimRequest& request) {
    const std::string id = requiredId(request);
    return state_.with([&id](DeviceData& d) {
        d.products.erase(id);
        auto& sns = d.deletionAll[id];
        if (std::find(sns.begin(), sns.end(), d.sn) == sns.end()) sns.push_back(d.sn);
        return okReply();
    });
}

SimReply TemplateCommands::clearDeletionAllFlag(const SimRequest& request) {
    const std::string id = requiredId(request);
    return state_.with([&id](DeviceData& d) {
        d.deletionAll.erase(id);
        return okReply();
    });
}

SimReply TemplateCommands::getDeletionAllProgress(const SimRequest&) {
    return state_.with([](DeviceData& d) {
        if (d.deletionAll.empty()) return okReply();
        Poco::JSON::Array::Ptr entries = new Poco::JSON::Array;
        for (const auto& [id, sns] : d.deletionAll) {
            Poco::JSON::Object::Ptr entry = newObject();
            entry->set("id", id);
            Poco::JSON::Array::Ptr list = new Poco::JSON::Array;
            for (const auto& sn : sns) list->add(sn);
            entry->set("SNs", list);
            entries->add(entry);
        }
        return okReply(entries);
    });
}

}  // namespace korvane::CameraSim
