#include "images/Vips.h"

#include <mutex>
#include <stdexcept>

namespace vorn::emulator::images {

namespace {

// libvips warns on stderr about damaged input ("not enough data"); such input
// is answered with a service error, so the warnings are only noise here.
void dropLogLine(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

}  // namespace

void ensureVips() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        started = vips_init("vorn-emulator") == 0;
        if (started) {
            // Every call works on one request's bytes; nothing is worth caching,
            // and a small cache keeps the memory of large images from lingering.
            vips_cache_set_max(0);
            vips_cache_set_max_mem(0);
            // Only the loaders libvips trusts with hostile input.
            vips_block_untrusted_set(TRUE);
            g_log_set_handler("VIPS",
                              static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO),
                              dropLogLine, nullptr);
        }
    });
    if (!started) throw std::runtime_error("libvips did not start: " + takeVipsError());
}

std::string takeVipsError() {
    char* copy = vips_error_buffer_copy();  // also clears the buffer
    std::string text = copy != nullptr ? copy : "";
    g_free(copy);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    for (char& c : text) {
        if (c == '\n') c = ';';
    }
    if (text.size() > 300) text.resize(300);
    return text;
}

}  // namespace vorn::emulator::images
