#pragma once

#include "vorn/core/VornError.h"
#include "vorn/core/vBase64.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vorn {

class VornUrlRequest;
struct VornServiceReply;

/// Upload progress: the fraction of the request body sent, 0.0 to 1.0.
using VornProgressBlock = std::function<void(float progress)>;

/// A file stored by the service's file host: its stored name, storage
/// group and public URL, and, for a file made here, its bytes.
///
/// A file is created from a local path or from bytes with a name, holds its
/// bytes in memory from then on, and is uploaded whole ("files") or in
/// pieces ("mkfile"). Results and progress are reported on the main loop;
/// `save` blocks the calling thread instead. One upload runs at a time: a
/// new one cancels the one in flight, which then reports nothing.
///
/// Always owned by a `std::shared_ptr` (use the factories). A running
/// upload keeps its file alive until its last callback has run.
class VornFile : public std::enable_shared_from_this<VornFile> {
public:
    /// Largest file the library uploads: 10 MiB.
    static constexpr std::size_t kMaxFileSize = 10485760;
    /// Piece size of the sharded upload; a file of at most this size goes in one piece.
    static constexpr std::size_t kPieceSize = 262144;
    /// Retries of one request (so at most four attempts).
    static constexpr std::int64_t kMaxRetries = 3;

    // Creation.

    /// `initWithClassName(path)` with class name "FILE".
    static std::shared_ptr<VornFile> initWithFilePath(const std::string& path);
    /// `initWithClassName(name, data)` with class name "FILE".
    static std::shared_ptr<VornFile> initWithFileName(std::optional<std::string> name, std::optional<Bytes> data);
    /// Reads the whole file at `path` now. When there is no file there, the
    /// file has no name and every asynchronous upload fails with 20008.
    /// Something there that cannot be read as a regular file (a folder, a
    /// FIFO, a socket, a file without read permission) keeps the path as its
    /// name but has no bytes: an asynchronous upload fails with 20011.
    static std::shared_ptr<VornFile> initWithClassName(std::optional<std::string> className, const std::string& path);
    /// A file of the given bytes (none: empty) under the given name.
    static std::shared_ptr<VornFile> initWithClassName(std::optional<std::string> className,
                                                       std::optional<std::string> name, std::optional<Bytes> data);
    /// A handle on a stored file, without local bytes (what a field value
    /// read from the service gives).
    static std::shared_ptr<VornFile> fileWithUrl(std::optional<std::string> url, std::optional<std::string> name = {},
                                                 std::optional<std::string> group = {});

    // What the service assigned.

    /// The public URL of the stored file; empty until uploaded.
    const std::optional<std::string>& url() const { return url_; }
    /// Sets the URL.
    void setUrl(std::optional<std::string> url) { url_ = std::move(url); }
    /// The stored name the service assigned.
    const std::optional<std::string>& name() const { return name_; }
    /// Sets the stored name.
    void setName(std::optional<std::string> name) { name_ = std::move(name); }
    /// The storage group the service assigned.
    const std::optional<std::string>& group() const { return group_; }
    /// Sets the storage group.
    void setGroup(std::optional<std::string> group) { group_ = std::move(group); }
    /// The retries made of the request in flight.
    std::int64_t uploadRetryCount() const { return uploadRetryCount_; }
    /// Sets the retry count.
    void setUploadRetryCount(std::int64_t count) { uploadRetryCount_ = count; }
    /// How many bytes the service has accepted so far in a sharded upload.
    std::uint64_t haveUploadLength() const { return haveUploadLength_; }
    /// Sets the accepted length.
    void setHaveUploadLength(std::uint64_t length) { haveUploadLength_ = length; }

    // What the file was made of.

    /// The class name sent with the upload ("FILE" for the plain factories).
    const std::optional<std::string>& className() const { return className_; }
    /// The full path (file from a path) or the name given (file from bytes).
    const std::optional<std::string>& fileName() const { return fileName_; }
    /// The file's bytes (empty for a handle made by `fileWithUrl`).
    const Bytes& fileData() const { return fileData_; }
    /// 0: created from a path; 1: created from bytes.
    std::uint32_t choseId() const { return choseId_; }
    /// The request in flight (or the last one that failed or was cancelled).
    const std::shared_ptr<VornUrlRequest>& uploadFileRequest() const { return uploadFileRequest_; }

    // Uploads.

    /// Uploads the whole file on the calling thread; true when the service
    /// stored it. Makes no check beyond a file without bytes (from bytes)
    /// or without a regular file behind its path (from a path).
    bool save();
    /// Uploads the whole file; the result on the main loop.
    void saveInBackground(VornBooleanResultBlock block);
    /// The same, with the fraction of the body sent reported on the main loop.
    void saveInBackground(VornBooleanResultBlock block, VornProgressBlock progressBlock);
    /// Uploads the file in one piece of up to 262144 bytes, or in pieces of
    /// 262144 bytes to the addresses the service gives; each request is
    /// tried up to four times.
    void saveInBackgroundByDataSharding(VornBooleanResultBlock block);
    /// Cancels the request in flight; its upload reports nothing.
    void cancle();
    /// Does nothing: the service offers no delete of a file.
    void deleteInBackground();
    /// Reports 20018 for a stored file (URL and group), 20009 otherwise.
    /// Contacts nobody.
    void deleteInBackground(const VornBooleanResultBlock& block);

    /// Base64 text of the bytes.
    static std::string turnNSDataToNSStringWithData(const Bytes& data);

    /// The absolute form of a URL the service replied with: unchanged when it
    /// holds "http://" or "https://", else joined to the file download base.
    static std::string absoluteUrl(const std::string& url);

private:
    struct Passkey {
        explicit Passkey() = default;
    };

public:
    /// Made only by the factories.
    VornFile(Passkey, std::optional<std::string> className);
    virtual ~VornFile();

protected:
    /// The whole-file request, on the calling thread.
    bool saveWithData(const Bytes& data, const std::string& fileName);
    /// The asynchronous whole-file request.
    void saveInBackground(VornBooleanResultBlock block, const Bytes& data, const std::string& fileName,
                          VornProgressBlock progressBlock, bool needProgressBlock);
    /// Uploads the file in one request ("mkfile"), retried up to three times on no or an unparsable reply. `block` runs
    /// on the main loop; every failure reports 20002.
    void uploadFileWithOnePiece(VornBooleanResultBlock block);
    /// Starts a sharded upload with the first piece; failed requests are retried up to three times. `block` runs on the
    /// main loop once the file is stored, or with 20002.
    void uploadFileWithPieces(VornBooleanResultBlock block);
    /// Sends the piece after what was accepted, to the "host" of the last
    /// accepted reply's `data`, with its "ctx" and "offset".
    void uploadAfterFileWithBlock(VornBooleanResultBlock block, const nlohmann::json& dictionary);

private:
    struct Attempt;
    /// The first failed check of an asynchronous upload, if any.
    OptionalError uploadCheckError() const;
    std::string lastPathComponent() const;
    void replaceRequest(std::shared_ptr<VornUrlRequest> request);
    void sendAttempt(const std::shared_ptr<Attempt>& attempt);
    void onOnePieceReply(const std::shared_ptr<Attempt>& attempt, const VornServiceReply& reply);
    void onPieceReply(const std::shared_ptr<Attempt>& attempt, const VornServiceReply& reply);
    /// Another attempt of the same request when a retry is left; false otherwise.
    bool retry(const std::shared_ptr<Attempt>& attempt);
    void takeStoredFile(const nlohmann::json& file);

    std::optional<std::string> className_;
    std::optional<std::string> fileName_;
    Bytes fileData_;
    std::uint32_t choseId_ = 0;
    std::shared_ptr<VornUrlRequest> uploadFileRequest_;
    std::optional<std::string> url_;
    std::optional<std::string> name_;
    std::optional<std::string> group_;
    std::int64_t uploadRetryCount_ = 0;
    std::uint64_t haveUploadLength_ = 0;
};

}  // namespace vorn
