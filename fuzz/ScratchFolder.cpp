#include "ScratchFolder.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fuzzing {

namespace {

struct Folder {
    Folder() {
        const char* tmp = std::getenv("TMPDIR");
        path = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/smtpmail-fuzz-" +
               std::to_string(::getpid());
        std::filesystem::create_directories(path);
    }
    ~Folder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

}  // namespace

const std::string& ScratchFolder() {
    static Folder folder;
    return folder.path;
}

std::string WriteScratchFile(const std::string& name, const std::string& bytes) {
    const std::string path = ScratchFolder() + "/" + name;
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

}  // namespace fuzzing
