#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/MediaTypes.h"

namespace platform {

namespace {

// /etc/mime.types: a type, then its extensions, one type a line; "#" starts
// a comment. Read once; the first type named for an extension wins.
std::map<std::string, std::string> ReadMimeTypes() {
    std::map<std::string, std::string> types;
    std::ifstream file("/etc/mime.types");
    std::string line;
    while (std::getline(file, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string type;
        std::string extension;
        if (!(words >> type))
            continue;
        while (words >> extension)
            types.emplace(extension, type);
    }
    return types;
}

}  // namespace

std::string SystemMediaType(const std::string& sExtension) {
    static std::once_flag once;
    static std::map<std::string, std::string> types;
    std::call_once(once, [] { types = ReadMimeTypes(); });
    const auto found = types.find(sExtension);
    return found == types.end() ? std::string() : found->second;
}

}  // namespace platform
