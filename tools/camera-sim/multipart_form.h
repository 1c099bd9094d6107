// Reader for the multipart/form-data bodies the Agent uploads files with (template import,
// firmware upgrade, restore). Stateless; callable from any thread.
#pragma once

#include <string>
#include <vector>

namespace korvane::CameraSim {

struct FormPart {
    std::string name;
    std::string filename;  // empty for a text field
    std::string contentType;
    std::string data;
};

bool isMultipart(const std::string& contentType);

// The parts in body order. Not multipart, no boundary, or a broken body: CommandError -6213.
std::vector<FormPart> parseMultipart(const std::string& contentType, const std::string& body);

}  // namespace korvane::CameraSim
