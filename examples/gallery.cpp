// A photo gallery: photos are uploaded whole with progress reported as they
// go, a large original is uploaded in pieces, each photo gets a thumbnail,
// and an album object keeps the files as fields and is read back.
//
// The hosts default to the local emulator on 127.0.0.1:8470; VORN_API_HOST
// and VORN_FILE_HOST point elsewhere.
#include <vorn/vorn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

bool wait(const bool& done) {
    return vorn::MainLoop::shared().runUntil([&] { return done; }, 60s);
}

/// A 16 x 16 PNG.
vorn::Bytes samplePhoto() {
    static const char* const kPng =
        "iVBORw0KGgoAAAANSUhEUgAAABAAAAAQCAIAAACQkWg2AAABlklEQVR42hXRURVEIQhFUSMYgQhGMAIRiGCEE8EIRiACEYhABCLMG7/"
        "ZrMt1jMEc"
        "yGAN9kAHNjgDBnfwBj6IQQ5q0IMxJnMikzXZE53Y5EyY3Mmb+CQmOalJzw8IUxBhCVtQwYQjIFzhCS6EkEIJLR9YzIUs1mIvdGGLs2BxF2/"
        "hi1jk"
        "oha9PrCZG9mszd7oxjZnw+Zu3sY3sclNbXp/"
        "QJmKKEvZiiqmHAXlKk9xJZRUSmn9gDENMZaxDTXMOAbGNZ7hRhhplNH2gcM8yGEd9kEPdjgHDvfw"
        "Dn6IQx7q0OcD/wK/Sr4jv9hfkG/1N/x/Fx44BCQU9Pc94zIvclmXfdGLXc79j9/Lu/glLnmpS98PPOZDHuuxH/qwx3n/"
        "5ffxHv6IRz7q0e8DznTE"
        "Wc521DHn+D/KdZ7jTjjplNP+gWAGEqxgBxpYcOIf/AYv8CCCDCro+EAyE0lWshNNLDn5P/MmL/Ekkkwq6fxAMQspVrELLaw49S/lFq/"
        "wIoosquj6"
        "QDMbaVazG22sOf2v8Dav8SaabKrp5geIAnAQC3NfwAAAAABJRU5ErkJggg==";
    return vorn::vBase64::decodeString(kPng).value_or(vorn::Bytes());
}

/// Uploads the file whole and prints its progress as it goes.
bool uploadWithProgress(const std::shared_ptr<vorn::VornFile>& file, const std::string& name) {
    bool done = false, ok = false;
    auto last = std::make_shared<float>(-1.0f);
    file->saveInBackground(
        [&](bool succeeded, const vorn::OptionalError& error) {
        if (!succeeded) std::printf("upload failed: %s\n", error ? error->message().c_str() : "");
        ok = succeeded;
        done = true;
        },
        [name, last](float progress) {
        if (progress - *last >= 0.25f || progress >= 1.0f) {
            std::printf("  %s: %3.0f%%\n", name.c_str(), progress * 100);
            *last = progress;
        }
    });
    return wait(done) && ok;
}

/// A thumbnail 8 pixels wide, stored by the service: its URL.
std::optional<std::string> thumbnail(const std::shared_ptr<vorn::VornFile>& photo) {
    bool done = false;
    std::optional<std::string> url;
    vorn::VornImage::thumbnailImageBySpecifiesTheWidth(
        8, 80, photo->url(), 0,
        [&](const std::optional<vorn::VornImageResult>& result, const vorn::OptionalError& error) {
        if (error) std::printf("thumbnail failed: %s\n", error->message().c_str());
        if (result) {
            if (const auto* file = std::get_if<std::shared_ptr<vorn::VornFile>>(&*result)) url = (*file)->url();
        }
        done = true;
        });
    wait(done);
    return url;
}

}  // namespace

int main() {
    const char* key = std::getenv("VORN_APP_KEY");
    vorn::Vorn::registerWithAppKey(key != nullptr ? key : "demo-app-key",
                                   vorn::VornConfiguration{.bundleIdentifier = "com.vorn.gallery"});

    // Photos, whole, with progress; each one gets a thumbnail.
    std::vector<std::shared_ptr<vorn::VornFile>> photos;
    for (const char* name : {"beach.png", "mountains.png", "city.png"}) {
        auto photo = vorn::VornFile::initWithFileName(name, samplePhoto());
        if (!uploadWithProgress(photo, name)) return 1;
        auto small = thumbnail(photo);
        if (!small) return 1;
        std::printf("%s: %s\n  thumbnail %s\n", name, photo->url()->c_str(), small->c_str());
        photos.push_back(photo);
    }

    // A large original (1.5 MiB) goes up in pieces of 256 KiB, each retried on failure.
    vorn::Bytes original(3 * 512 * 1024);
    for (std::size_t index = 0; index < original.size(); ++index)
        original[index] = static_cast<std::uint8_t>(index * 131);
    auto raw = vorn::VornFile::initWithFileName("beach-original.raw", original);
    bool done = false, ok = false;
    raw->saveInBackgroundByDataSharding([&](bool succeeded, const vorn::OptionalError& error) {
        if (!succeeded) std::printf("sharded upload failed: %s\n", error ? error->message().c_str() : "");
        ok = succeeded;
        done = true;
    });
    if (!wait(done) || !ok) return 1;
    std::printf("original in pieces: %s\n", raw->url()->c_str());

    // The album keeps its files as fields.
    auto album = vorn::VornObject::objectWithClassName("Album");
    album->setObject("Summer", "title");
    album->setObject(photos.front(), "cover");
    album->setObject(raw, "original");
    done = false;
    album->saveInBackgroundWithResultBlock([&](bool succeeded, const vorn::OptionalError&) {
        ok = succeeded;
        done = true;
    });
    if (!wait(done) || !ok) return 1;

    auto query = vorn::VornQuery::queryWithClassName("Album");
    done = false;
    std::shared_ptr<vorn::VornObject> found;
    query->getObjectInBackgroundWithId(
        *album->objectId(), [&](const std::shared_ptr<vorn::VornObject>& object, const vorn::OptionalError&) {
            found = object;
            done = true;
        });
    if (!wait(done) || !found) return 1;
    // File fields come back as files.
    const auto cover = found->objectForKey("cover");
    if (!cover || !cover->isFile() || !cover->file()->url()) return 1;
    std::printf("album \"%s\" read back, cover %s\n", found->objectForKey("title")->json().get<std::string>().c_str(),
                cover->file()->url()->c_str());
    std::printf("gallery: ok\n");
    return 0;
}
