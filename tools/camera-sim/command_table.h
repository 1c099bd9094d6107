// The table from camera command name ("get_result") to the handler that answers it, filled once
// by the command groups when the simulator is built and read-only afterwards, so request
// threads may look commands up without a lock.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "sim_message.h"

namespace korvane::CameraSim {

// Queries answer GET and POST alike; commands that change the camera insist on POST.
enum class Verb { Any, Post };

struct CommandEntry {
    Verb verb = Verb::Any;
    std::function<SimReply(const SimRequest&)> handler;
};

using CommandTable = std::map<std::string, CommandEntry>;

template <class Group>
void addCommand(CommandTable& table, const std::string& name, Verb verb, Group* group,
                SimReply (Group::*method)(const SimRequest&)) {
    table[name] = CommandEntry{
        verb, [group, method](const SimRequest& request) { return (group->*method)(request); }};
}

}  // namespace korvane::CameraSim
