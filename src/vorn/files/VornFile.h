#pragma once

#include <memory>
#include <optional>
#include <string>

namespace vorn {

/// A file stored by the service's file host: its stored name, storage
/// group and public URL. Data objects hold files as field values.
class VornFile : public std::enable_shared_from_this<VornFile> {
public:
    /// A handle on a stored file, without local bytes (what a field value
    /// read from the service gives).
    static std::shared_ptr<VornFile> fileWithUrl(std::optional<std::string> url, std::optional<std::string> name = {},
                                                 std::optional<std::string> group = {});

    const std::optional<std::string>& url() const { return url_; }
    void setUrl(std::optional<std::string> url) { url_ = std::move(url); }
    const std::optional<std::string>& name() const { return name_; }
    void setName(std::optional<std::string> name) { name_ = std::move(name); }
    const std::optional<std::string>& group() const { return group_; }
    void setGroup(std::optional<std::string> group) { group_ = std::move(group); }
    const std::string& className() const { return className_; }

private:
    struct Passkey {
        explicit Passkey() = default;
    };

public:
    /// Made only by the factories: a file is always owned by a `std::shared_ptr`.
    explicit VornFile(Passkey, std::string className = "FILE");
    virtual ~VornFile() = default;

private:
    std::string className_;
    std::optional<std::string> url_;
    std::optional<std::string> name_;
    std::optional<std::string> group_;
};

}  // namespace vorn
