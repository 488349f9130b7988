#include "vorn/files/VornFile.h"

#include "vorn/core/SecureRandom.h"
#include "vorn/core/VornPosition.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/net/VornUrlRequest.h"
#include "vorn/service/VornService.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace vorn {
namespace {

constexpr const char* kFilesPath = "files";
constexpr const char* kMakeFilePath = "mkfile";
constexpr const char* kWholeFileClass = "FILE";
constexpr const char* kPieceClass = "FileClass";

/// A text value of a reply, if it has one.
std::optional<std::string> textOf(const nlohmann::json& object, const char* key) {
    if (!object.is_object()) return std::nullopt;
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::nullopt;
    if (it->is_string()) return it->get<std::string>();
    return it->dump();
}

/// An integer the service sent as a number or as digits; 0 otherwise.
std::int64_t integerOf(const nlohmann::json& value) {
    if (value.is_number_integer()) return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        return number > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(number);
    }
    if (value.is_number_float()) {
        const double number = value.get<double>();
        return number > -9.2e18 && number < 9.2e18 ? static_cast<std::int64_t>(number) : 0;
    }
    if (value.is_string()) {
        const auto& text = value.get_ref<const std::string&>();
        std::int64_t number = 0;
        std::from_chars(text.data(), text.data() + text.size(), number);
        return number;
    }
    return 0;
}

/// What reading a local file gave: its bytes, or why there are none.
struct LocalFile {
    enum class Status { Read, Missing, Unreadable };
    Status status = Status::Missing;
    Bytes bytes;
};

/// Reads the whole regular file at `path`. Something that is there but is
/// no regular file (a folder, a FIFO, a socket, a device) is unreadable and
/// never opened: opening a FIFO would wait for a writer.
LocalFile readWholeFile(const std::string& path) {
    LocalFile file;
    if (path.empty()) return file;
    std::error_code error;
    const auto type = std::filesystem::status(path, error).type();
    if (type == std::filesystem::file_type::not_found) return file;
    // Anything else that is there, or that cannot even be looked at, is
    // unreadable unless it reads as a regular file.
    file.status = LocalFile::Status::Unreadable;
    if (type != std::filesystem::file_type::regular) return file;
    std::ifstream in(path, std::ios::binary);
    if (!in) return file;
    Bytes bytes;
    const auto size = std::filesystem::file_size(path, error);
    if (!error) bytes.reserve(static_cast<std::size_t>(size));
    char chunk[64 * 1024];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        bytes.insert(bytes.end(), chunk, chunk + in.gcount());
    }
    if (in.bad()) return file;
    file.status = LocalFile::Status::Read;
    file.bytes = std::move(bytes);
    return file;
}

/// The pretty-printed envelope of an upload with the base64 text of the
/// bytes as "data"."file", encoded straight into the body: the text exists
/// once, never as a JSON string that is then copied into the body.
std::string uploadBody(const char* c, nlohmann::json data, const std::uint8_t* bytes, std::size_t length) {
    std::uint8_t random[16];
    secureRandomBytes(random, sizeof random);
    const std::string marker = "vorn-file-" + v_VornUtils::hexStringFromData(std::string_view(
                                                  reinterpret_cast<const char*>(random), sizeof random));
    data["file"] = marker;
    VornServiceCall call;
    call.c = c;
    call.objectId = nullptr;
    call.data = std::move(data);
    const std::string text = VornService::bodyText(call.envelope());
    const std::string quoted = "\"" + marker + "\"";
    const auto at = text.find(quoted);
    const std::size_t encoded = length == 0 ? 0 : vBase64::encodedLength(length, true);
    std::string body;
    body.reserve(text.size() - marker.size() + encoded);
    body.append(text, 0, at + 1);
    body.resize(at + 1 + encoded);
    if (encoded > 0) {
        vBase64::baseEncode(reinterpret_cast<const char*>(bytes), length, body.data() + at + 1, encoded,
                            vBase64::kStandardCharset, true);
    }
    body.append(text, at + 1 + marker.size());
    return body;
}

}  // namespace

/// One request of an upload, as sent and as sent again on a retry.
struct VornFile::Attempt {
    enum class Kind { WholeFile, OnePiece, FirstPiece, NextPiece };
    Kind kind = Kind::OnePiece;
    std::string url;
    std::shared_ptr<const std::string> body;
    std::size_t pieceLength = 0;
    VornBooleanResultBlock block;
};

VornFile::VornFile(Passkey, std::optional<std::string> className) : className_(std::move(className)) {}

VornFile::~VornFile() = default;

std::shared_ptr<VornFile> VornFile::initWithFilePath(const std::string& path) {
    return initWithClassName(std::string(kWholeFileClass), path);
}

std::shared_ptr<VornFile> VornFile::initWithFileName(std::optional<std::string> name, std::optional<Bytes> data) {
    return initWithClassName(std::string(kWholeFileClass), std::move(name), std::move(data));
}

std::shared_ptr<VornFile> VornFile::initWithClassName(std::optional<std::string> className, const std::string& path) {
    auto file = std::make_shared<VornFile>(Passkey{}, std::move(className));
    file->choseId_ = 0;
    auto local = readWholeFile(path);
    // A file that is there keeps its name even when it cannot be read, so
    // an upload reports it as without bytes (20011), not as unnamed (20008).
    if (local.status != LocalFile::Status::Missing) file->fileName_ = path;
    file->fileData_ = std::move(local.bytes);
    return file;
}

std::shared_ptr<VornFile> VornFile::initWithClassName(std::optional<std::string> className,
                                                      std::optional<std::string> name, std::optional<Bytes> data) {
    auto file = std::make_shared<VornFile>(Passkey{}, std::move(className));
    file->choseId_ = 1;
    file->fileName_ = std::move(name);
    if (data) file->fileData_ = std::move(*data);
    return file;
}

std::shared_ptr<VornFile> VornFile::fileWithUrl(std::optional<std::string> url, std::optional<std::string> name,
                                                std::optional<std::string> group) {
    auto file = std::make_shared<VornFile>(Passkey{}, std::nullopt);
    file->setUrl(std::move(url));
    file->setName(std::move(name));
    file->setGroup(std::move(group));
    return file;
}

std::string VornFile::turnNSDataToNSStringWithData(const Bytes& data) {
    return vBase64::stringByEncodingData(data).value_or(std::string());
}

std::string VornFile::absoluteUrl(const std::string& url) {
    if (url.find("http://") != std::string::npos || url.find("https://") != std::string::npos) return url;
    return v_VornUtils::storedFileDownloadAddress() + "/" + url;
}

std::string VornFile::lastPathComponent() const {
    if (!fileName_) return {};
    std::string_view path = *fileName_;
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    if (path == "/") return "/";
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

OptionalError VornFile::uploadCheckError() const {
    if (!fileName_ || fileName_->empty()) return v_VornUtils::vornErrorWithType(kVornErrorNoneFilename);
    if (fileData_.empty()) return v_VornUtils::vornErrorWithType(kVornErrorNoneFileData);
    if (fileData_.size() > kMaxFileSize) return v_VornUtils::vornErrorWithType(kVornErrorFileTooBig);
    return std::nullopt;
}

void VornFile::replaceRequest(std::shared_ptr<VornUrlRequest> request) {
    if (uploadFileRequest_) uploadFileRequest_->cancle();
    uploadFileRequest_ = std::move(request);
}

void VornFile::takeStoredFile(const nlohmann::json& file) {
    name_ = textOf(file, "filename");
    group_ = textOf(file, "group");
    const auto url = textOf(file, "url");
    url_ = url ? std::optional<std::string>(absoluteUrl(*url)) : std::nullopt;
}

// --- The whole file ---------------------------------------------------------

bool VornFile::save() {
    if (choseId_ == 1) {
        if (fileData_.empty()) return false;
    } else {
        // A folder or another file that is no regular file is not uploaded.
        std::error_code error;
        if (!fileName_ || !std::filesystem::is_regular_file(*fileName_, error)) return false;
    }
    return saveWithData(fileData_, lastPathComponent());
}

bool VornFile::saveWithData(const Bytes& data, const std::string& fileName) {
    auto& position = VornPosition::sharePosition();
    auto request = VornUrlRequest::initWithUrl(VornService::urlFor(VornServiceBase::File, kFilesPath));
    request->setPostBody(std::make_shared<const std::string>(
        uploadBody(kWholeFileClass, {{"filename", fileName}}, data.data(), data.size())));
    VornService::addHeaders(*request, false);
    request->startSyncConnection();
    position.stopUpateLoaction();
    if (!request->responseData()) return false;
    const auto reply = VornServiceReply::parse(*request->responseData());
    if (!reply.succeeded()) return false;
    takeStoredFile(reply.body.value("data", nlohmann::json()));
    return true;
}

void VornFile::saveInBackground(VornBooleanResultBlock block) {
    if (auto error = uploadCheckError()) {
        if (block) block(false, error);
        return;
    }
    saveInBackground(std::move(block), fileData_, lastPathComponent(), nullptr, false);
}

void VornFile::saveInBackground(VornBooleanResultBlock block, VornProgressBlock progressBlock) {
    if (auto error = uploadCheckError()) {
        if (block) block(false, error);
        if (progressBlock) progressBlock(0.0f);
        return;
    }
    saveInBackground(std::move(block), fileData_, lastPathComponent(), std::move(progressBlock), true);
}

void VornFile::saveInBackground(VornBooleanResultBlock block, const Bytes& data, const std::string& fileName,
                                VornProgressBlock progressBlock, bool needProgressBlock) {
    auto attempt = std::make_shared<Attempt>();
    attempt->kind = Attempt::Kind::WholeFile;
    attempt->url = VornService::urlFor(VornServiceBase::File, kFilesPath);
    attempt->body = std::make_shared<const std::string>(
        uploadBody(kWholeFileClass, {{"filename", fileName}}, data.data(), data.size()));
    attempt->block = std::move(block);

    auto request = VornUrlRequest::initWithUrl(attempt->url);
    request->setPostBody(attempt->body);
    VornService::addHeaders(*request, false);
    replaceRequest(request);
    // The progress handler is let go when the upload ends, so that nothing
    // it captured outlives the upload through the request.
    auto progress = std::make_shared<VornProgressBlock>(needProgressBlock ? std::move(progressBlock) : nullptr);
    if (*progress) {
        request->getProgressBlock([progress](float fraction) {
            if (*progress) (*progress)(fraction);
        });
    }
    VornService::run(request, [self = shared_from_this(), attempt, progress](const VornServiceReply& reply) {
        *progress = nullptr;
        const auto block = std::move(attempt->block);
        switch (reply.status) {
            case VornServiceReply::Status::TransportFailed:
                // The failed request stays referenced until the next upload.
                if (block) block(false, reply.error());
                return;
            case VornServiceReply::Status::NotParsed:
            case VornServiceReply::Status::ServiceError:
                self->uploadFileRequest_.reset();
                if (block) block(false, reply.error());
                return;
            case VornServiceReply::Status::Success:
                self->uploadFileRequest_.reset();
                self->takeStoredFile(reply.body.value("data", nlohmann::json()));
                if (block) block(true, std::nullopt);
                return;
        }
    });
}

// --- Pieces -----------------------------------------------------------------

void VornFile::saveInBackgroundByDataSharding(VornBooleanResultBlock block) {
    if (auto error = uploadCheckError()) {
        if (block) block(false, error);
        return;
    }
    if (fileData_.size() <= kPieceSize) {
        uploadFileWithOnePiece(std::move(block));
    } else {
        uploadFileWithPieces(std::move(block));
    }
}

void VornFile::uploadFileWithOnePiece(VornBooleanResultBlock block) {
    auto attempt = std::make_shared<Attempt>();
    attempt->kind = Attempt::Kind::OnePiece;
    attempt->url = VornService::urlFor(VornServiceBase::File, kMakeFilePath);
    const char* c = className_ ? className_->c_str() : kPieceClass;
    attempt->body = std::make_shared<const std::string>(
        uploadBody(c, {{"filename", lastPathComponent()}, {"filesize", static_cast<std::uint64_t>(fileData_.size())}},
                   fileData_.data(), fileData_.size()));
    attempt->pieceLength = fileData_.size();
    attempt->block = std::move(block);
    sendAttempt(attempt);
}

void VornFile::uploadFileWithPieces(VornBooleanResultBlock block) {
    auto attempt = std::make_shared<Attempt>();
    attempt->kind = Attempt::Kind::FirstPiece;
    attempt->url = VornService::urlFor(VornServiceBase::File, kMakeFilePath);
    attempt->pieceLength = std::min(kPieceSize, fileData_.size());
    attempt->body = std::make_shared<const std::string>(uploadBody(
        kPieceClass, {{"filename", lastPathComponent()}, {"filesize", static_cast<std::uint64_t>(fileData_.size())}},
        fileData_.data(), attempt->pieceLength));
    attempt->block = std::move(block);
    sendAttempt(attempt);
}

void VornFile::uploadAfterFileWithBlock(VornBooleanResultBlock block, const nlohmann::json& dictionary) {
    // A service that claims more than the file holds gets an empty piece,
    // never a read beyond the bytes.
    const std::size_t start =
        haveUploadLength_ < fileData_.size() ? static_cast<std::size_t>(haveUploadLength_) : fileData_.size();
    const std::size_t length = std::min(kPieceSize, fileData_.size() - start);
    auto attempt = std::make_shared<Attempt>();
    attempt->kind = Attempt::Kind::NextPiece;
    attempt->url = textOf(dictionary, "host").value_or(std::string());
    attempt->pieceLength = length;
    nlohmann::json data = nlohmann::json::object();
    data["ctx"] = dictionary.is_object() ? dictionary.value("ctx", nlohmann::json()) : nlohmann::json();
    data["offset"] = dictionary.is_object() ? integerOf(dictionary.value("offset", nlohmann::json())) : 0;
    attempt->body =
        std::make_shared<const std::string>(uploadBody(kPieceClass, std::move(data), fileData_.data() + start, length));
    attempt->block = std::move(block);
    sendAttempt(attempt);
}

void VornFile::sendAttempt(const std::shared_ptr<Attempt>& attempt) {
    auto request = VornUrlRequest::initWithUrl(attempt->url);
    request->setPostBody(attempt->body);
    VornService::addHeaders(*request, false);
    replaceRequest(request);
    VornService::run(request, [self = shared_from_this(), attempt](const VornServiceReply& reply) {
        if (attempt->kind == Attempt::Kind::OnePiece) {
            self->onOnePieceReply(attempt, reply);
        } else {
            self->onPieceReply(attempt, reply);
        }
    });
}

bool VornFile::retry(const std::shared_ptr<Attempt>& attempt) {
    if (uploadRetryCount_ >= kMaxRetries) return false;
    ++uploadRetryCount_;
    sendAttempt(attempt);
    return true;
}

void VornFile::onOnePieceReply(const std::shared_ptr<Attempt>& attempt, const VornServiceReply& reply) {
    const auto fail = [&] {
        uploadFileRequest_.reset();
        if (auto block = std::move(attempt->block))
            block(false, v_VornUtils::vornErrorWithType(kVornErrorConnectFailed));
    };
    switch (reply.status) {
        case VornServiceReply::Status::TransportFailed:
        case VornServiceReply::Status::NotParsed:
            if (!retry(attempt)) fail();
            return;
        case VornServiceReply::Status::ServiceError:
            fail();
            return;
        case VornServiceReply::Status::Success: {
            uploadFileRequest_.reset();
            const auto* data = reply.validData();
            takeStoredFile(data && data->is_object() ? data->value("file", nlohmann::json()) : nlohmann::json());
            if (auto block = std::move(attempt->block)) block(true, std::nullopt);
            return;
        }
    }
}

void VornFile::onPieceReply(const std::shared_ptr<Attempt>& attempt, const VornServiceReply& reply) {
    if (!reply.succeeded()) {
        if (!retry(attempt)) {
            uploadFileRequest_.reset();
            if (auto block = std::move(attempt->block)) {
                block(false, v_VornUtils::vornErrorWithType(kVornErrorConnectFailed));
            }
        }
        return;
    }
    const nlohmann::json* found = reply.validData();
    const nlohmann::json data = found ? *found : nlohmann::json();
    uploadRetryCount_ = 0;
    if (attempt->kind == Attempt::Kind::FirstPiece) {
        haveUploadLength_ = attempt->pieceLength;
    } else {
        haveUploadLength_ += attempt->pieceLength;
        if (data.is_object()) {
            if (auto file = data.find("file"); file != data.end() && file->is_object()) {
                uploadFileRequest_.reset();
                takeStoredFile(*file);
                if (auto block = std::move(attempt->block)) block(true, std::nullopt);
                return;
            }
        }
        // Everything was accepted and the service still wants more: one empty
        // piece tells it the file is whole; a service that accepts that too
        // without storing the file would otherwise be sent empty pieces
        // forever.
        if (attempt->pieceLength == 0) {
            uploadFileRequest_.reset();
            if (auto block = std::move(attempt->block)) {
                block(false, v_VornUtils::vornErrorWithType(kVornErrorConnectFailed));
            }
            return;
        }
    }
    uploadAfterFileWithBlock(std::move(attempt->block), data);
}

// --- Delete -----------------------------------------------------------------

void VornFile::cancle() {
    if (uploadFileRequest_) uploadFileRequest_->cancle();
}

void VornFile::deleteInBackground() {}

void VornFile::deleteInBackground(const VornBooleanResultBlock& block) {
    if (!block) return;
    if (url_ && group_) {
        block(false, v_VornUtils::vornErrorWithType(kVornErrorCannotDeleteNow));
    } else {
        block(false, v_VornUtils::vornErrorWithType(kVornErrorNoneFile));
    }
}

}  // namespace vorn
