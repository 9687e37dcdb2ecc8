#include "bundler/update_options.h"

#include <charconv>

#include "bundler/failure.h"
#include "launcher/update_state.h"
#include "platform/ed25519.h"

namespace bundler {

std::vector<OptionSyntax> updateOptionSyntax() {
  return {
      {"update-url", "URL",
       "the address of the update feed (update.json, made by 'qmk-bundle publish'); needs "
       "--update-key"},
      {"update-key", "PUBLIC", "the public key 'qmk-bundle keygen' printed; needs --update-url"},
      {"update-interval", "SECONDS", "seconds between update checks (default 86400, least 60)"}};
}

std::optional<int64_t> wholeNumber(std::string_view text) {
  int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

void addUpdateKeys(const ParsedOptions& options, plist::Dictionary& info) {
  const auto url = options.value("update-url");
  const auto key = options.value("update-key");
  const auto interval = options.value("update-interval");
  if (!url && !key) {
    if (interval) throw UsageError("--update-interval needs --update-url and --update-key.");
    return;
  }
  if (!url || !key) throw UsageError("--update-url and --update-key go together: give both.");
  if (!url->starts_with("https://") && !url->starts_with("http://")) {
    throw UsageError("--update-url must be an http:// or https:// address, not '" + *url + "'.");
  }
  if (!platform::ed25519::publicKeyFromText(*key)) {
    throw UsageError(
        "--update-key is not a public key: give the line 'qmk-bundle keygen' "
        "printed (base64 text of 32 bytes).");
  }
  info[qmk::update::kUrlKey] = plist::Value::string(*url);
  info[qmk::update::kPublicKeyKey] = plist::Value::string(*key);
  if (interval) {
    auto seconds = wholeNumber(*interval);
    if (!seconds || *seconds < qmk::update::kMinimumInterval) {
      throw UsageError("--update-interval takes a whole number of seconds, at least " +
                       std::to_string(qmk::update::kMinimumInterval) + ".");
    }
    info[qmk::update::kIntervalKey] = plist::Value::integer(*seconds);
  }
}

}  // namespace bundler
