// The pages behind the links of the outbox (no application key needed, like
// a browser opening a link from a mail):
//   GET  /verify?token=T   marks the user's e-mail address as verified
//   GET  /reset?token=T    a form asking for a new password
//   POST /reset?token=T    (form field "password"; "token" may also be a form field) sets it
// Each token works once; an unknown, used or stale one gets HTTP 400 and a
// page that says so.

#include <optional>
#include <string>
#include <string_view>

#include "UrlText.h"
#include "accounts/Outbox.h"
#include "accounts/Users.h"
#include "handlers/Handlers.h"
#include "vorn_emulator/ObjectStore.h"
#include "vorn_emulator/Router.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator {

namespace {

std::string htmlEscaped(std::string_view text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&#39;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

HttpResponse page(unsigned status, std::string_view title, const std::string& body) {
    HttpResponse response;
    response.status = status;
    response.contentType = "text/html; charset=utf-8";
    response.body = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + htmlEscaped(title) +
                    "</title></head>\n<body><h1>" + htmlEscaped(title) + "</h1>\n" + body + "\n</body></html>\n";
    return response;
}

HttpResponse invalidLink() {
    return page(400, "Invalid link", "<p>This link is unknown or was already used.</p>");
}

// application/x-www-form-urlencoded text: "+" is a space, "%XX" a byte
// (a malformed escape stays as it is).
std::string formDecoded(std::string_view text) {
    return percentDecoded(text, true);
}

// The first value of `name` in "a=1&b=2" (query string or form body).
std::optional<std::string> formValue(std::string_view text, std::string_view name) {
    while (!text.empty()) {
        const auto amp = text.find('&');
        const std::string_view pair = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view{} : text.substr(amp + 1);
        const auto eq = pair.find('=');
        if (formDecoded(pair.substr(0, eq)) != name) continue;
        return eq == std::string_view::npos ? std::string() : formDecoded(pair.substr(eq + 1));
    }
    return std::nullopt;
}

// The unused secret of the link's token, if its user still exists.
std::optional<accounts::Secret> linkSecret(Storage& storage, std::string_view kind, const std::string& token) {
    if (token.empty()) return std::nullopt;
    auto secret = accounts::findUnusedSecret(storage, kind, token);
    if (!secret || !ObjectStore(storage).load("_User", secret->userId)) return std::nullopt;
    return secret;
}

HttpResponse verifyEmail(RequestContext& ctx) {
    Storage& storage = ctx.storage();
    auto secret = linkSecret(storage, accounts::kVerifyKind, formValue(ctx.query(), "token").value_or(""));
    if (!secret) return invalidLink();
    auto user = ObjectStore(storage).load("_User", secret->userId);
    const auto email = user->fields.find("email");
    if (email == user->fields.end() || *email != secret->address) {
        // The address changed since the mail was sent.
        return invalidLink();
    }
    storage.transaction([&] {
        ObjectStore(storage).update("_User", secret->userId, nlohmann::json{{"emailVerified", true}});
        accounts::markSecretUsed(storage, secret->id);
    });
    return page(200, "E-mail address verified",
                "<p>The address " + htmlEscaped(secret->address) + " is verified. You can close this page.</p>");
}

HttpResponse resetForm(const std::string& token, std::string_view message) {
    std::string body;
    if (!message.empty()) body += "<p>" + htmlEscaped(message) + "</p>\n";
    body += "<form method=\"post\" action=\"/reset?token=" + htmlEscaped(token) +
            "\">\n"
            "<input type=\"hidden\" name=\"token\" value=\"" +
            htmlEscaped(token) +
            "\">\n"
            "<label>New password <input type=\"password\" name=\"password\"></label>\n"
            "<button type=\"submit\">Change password</button>\n"
            "</form>";
    return page(message.empty() ? 200 : 400, "Choose a new password", body);
}

HttpResponse showResetForm(RequestContext& ctx) {
    const std::string token = formValue(ctx.query(), "token").value_or("");
    if (!linkSecret(ctx.storage(), accounts::kResetKind, token)) return invalidLink();
    return resetForm(token, {});
}

HttpResponse resetPassword(RequestContext& ctx) {
    Storage& storage = ctx.storage();
    std::string token = formValue(ctx.query(), "token").value_or("");
    if (token.empty()) token = formValue(ctx.body(), "token").value_or("");
    auto secret = linkSecret(storage, accounts::kResetKind, token);
    if (!secret) return invalidLink();
    const std::string password = formValue(ctx.body(), "password").value_or("");
    if (password.empty()) return resetForm(token, "The password must not be empty.");
    storage.transaction([&] {
        accounts::setPassword(storage, secret->userId, password);
        accounts::markSecretUsed(storage, secret->id);
    });
    return page(200, "Password changed", "<p>Your password was changed. You can sign in with it now.</p>");
}

}  // namespace

void registerAccountPages(Router& router) {
    router.addRaw("GET", "/verify", verifyEmail, /*checkAppKey=*/false);
    router.addRaw("GET", "/reset", showResetForm, /*checkAppKey=*/false);
    router.addRaw("POST", "/reset", resetPassword, /*checkAppKey=*/false);
}

}  // namespace vorn::emulator
