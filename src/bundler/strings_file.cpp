#include "bundler/strings_file.h"

#include "bundler/message_texts.h"

namespace bundler {

namespace {

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out + "\"";
}

}  // namespace

std::string stringsTableText(const StringEntries& entries) {
  std::string text =
      "/* Texts the launcher shows, written by qmk-bundle. Edit them, or add a table for\n"
      "   another language beside this one (de.lproj/Localizable.strings). */\n";
  for (const auto& [key, value] : entries) text += quoted(key) + " = " + quoted(value) + ";\n";
  return text;
}

StringEntries messageEntries(const StringEntries& overrides) {
  StringEntries entries;
  for (const auto& message : messageTexts()) {
    std::string text = message.text;
    for (const auto& [key, value] : overrides) {
      if (key == message.key) text = value;
    }
    entries.emplace_back(message.key, text);
  }
  return entries;
}

}  // namespace bundler
