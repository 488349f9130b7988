#pragma once

// libvips for the image calls: one-time start-up and small RAII helpers.

#include <vips/vips.h>

#include <string>
#include <string_view>

namespace vorn::emulator::images {

// Starts libvips once per process (thread-safe). Throws std::runtime_error
// when it cannot start.
void ensureVips();

// An owned VipsImage reference.
class Image {
public:
    Image() = default;
    explicit Image(VipsImage* image) : image_(image) {}
    ~Image() { reset(); }
    Image(Image&& other) noexcept : image_(other.image_) { other.image_ = nullptr; }
    Image& operator=(Image&& other) noexcept {
        if (this != &other) {
            reset();
            image_ = other.image_;
            other.image_ = nullptr;
        }
        return *this;
    }
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    VipsImage* get() const { return image_; }
    VipsImage** out() {
        reset();
        return &image_;
    }
    explicit operator bool() const { return image_ != nullptr; }
    int width() const { return vips_image_get_width(image_); }
    int height() const { return vips_image_get_height(image_); }
    int bands() const { return vips_image_get_bands(image_); }

    void reset() {
        if (image_ != nullptr) g_object_unref(image_);
        image_ = nullptr;
    }

private:
    VipsImage* image_ = nullptr;
};

// The text of libvips' error buffer, which it clears.
std::string takeVipsError();

}  // namespace vorn::emulator::images
