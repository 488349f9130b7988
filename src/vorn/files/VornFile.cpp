#include "vorn/files/VornFile.h"

namespace vorn {

VornFile::VornFile(Passkey, std::string className) : className_(std::move(className)) {}

std::shared_ptr<VornFile> VornFile::fileWithUrl(std::optional<std::string> url, std::optional<std::string> name,
                                                std::optional<std::string> group) {
    auto file = std::make_shared<VornFile>(Passkey{});
    file->setUrl(std::move(url));
    file->setName(std::move(name));
    file->setGroup(std::move(group));
    return file;
}

}  // namespace vorn
