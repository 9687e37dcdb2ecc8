#include "bundler/import_mapping.h"

#include <algorithm>
#include <cctype>

#include "launcher/Launcher.h"
#include "platform/file_manager.h"

namespace bundler {

namespace {

// The keys of the dictionary forms ("Java" of the old system launcher, "JavaX" of the shell
// script launcher, which reads the same keys under another name).
constexpr const char* kDictionaryForms[] = {"Java", "JavaX"};
constexpr const char* kAppPackage = "$APP_PACKAGE";

std::vector<std::string> splitAtBlanks(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
  std::string text;
  for (size_t i = 0; i < items.size(); i++) text += (i ? separator : "") + items[i];
  return text;
}

// A value on one line of the report.
std::string oneLine(const plist::Value& value) {
  if (const plist::Array* array = value.asArray()) {
    std::string text = "[";
    for (size_t i = 0; i < array->size(); i++) text += (i ? ", " : "") + oneLine((*array)[i]);
    return text + "]";
  }
  if (value.type() == plist::Value::Type::Boolean) return value.boolValue() ? "true" : "false";
  return value.description();
}

class Importer {
 public:
  Importer(const plist::Dictionary& foreign, const std::optional<std::string>& bundle)
      : foreign_(foreign), bundle_(bundle) {
    result_.info = foreign;
    if (auto it = foreign.find("JavaVM"); it != foreign.end() && it->second.isDictionary()) {
      javaVM_ = *it->second.asDictionary();
      for (const auto& [key, value] : javaVM_) existing_.push_back(key);
    }
  }

  ImportResult run() {
    for (const char* form : kDictionaryForms) importDictionaryForm(form);
    importTopLevelForm();
    if (!javaVM_.empty()) result_.info["JavaVM"] = plist::Value::dictionary(javaVM_);
    for (const auto& [key, value] : foreign_) {
      if (!consumed(key)) result_.notes.push_back("kept: " + key);
    }
    if (!foundAny_) result_.notes.push_back("found no keys of another launcher");
    return std::move(result_);
  }

 private:
  bool consumed(const std::string& key) const {
    for (const auto& k : consumed_)
      if (k == key) return true;
    return key == "JavaVM" && foundAny_;
  }

  // Where the old launcher's $JAVAROOT pointed: Contents/Resources/Java, unless the bundle keeps
  // its jars in Contents/Java only.
  std::string javaRoot() const {
    platform::FileManager files;
    if (bundle_ && !files.isDirectory(platform::joinPath(*bundle_, "Contents/Resources/Java")) &&
        files.isDirectory(platform::joinPath(*bundle_, "Contents/Java"))) {
      return "$APP_PACKAGE/Contents/Java";
    }
    return "$APP_PACKAGE/Contents/Resources/Java";
  }

  // The old launchers' variables in our spelling. `full` where all our variables are replaced
  // (options, arguments); elsewhere only $APP_PACKAGE is, and a home reference cannot be kept.
  std::string translate(const std::string& text, const std::string& where, bool full) {
    std::string out = replaceAll(text, "$JAVAROOT", javaRoot());
    out = replaceAll(out, "$APP_ROOT", kAppPackage);
    if (out.find("$USER_HOME") != std::string::npos) {
      if (full) {
        out = replaceAll(out, "$USER_HOME", "${HOME}");
      } else {
        result_.notes.push_back("not mapped: $USER_HOME in " + where +
                                ", where only $APP_PACKAGE is replaced; write the path out");
      }
    }
    return out;
  }

  // Sets JavaVM/`key` unless the list had it already or an earlier form set it.
  void set(const std::string& key, plist::Value value, const std::string& from) {
    for (const auto& k : existing_) {
      if (k == key) {
        result_.notes.push_back("not mapped: " + from + ", JavaVM/" + key + " is set already");
        return;
      }
    }
    existing_.push_back(key);
    result_.notes.push_back("mapped: " + from + " -> JavaVM/" + key + " = " + oneLine(value));
    javaVM_[key] = std::move(value);
  }

  void appendOptions(const std::vector<std::string>& options, const std::string& from) {
    plist::Array array;
    if (const plist::Array* had = javaVM_["VMOptionArray"].asArray()) array = *had;
    for (const auto& option : options) array.push_back(plist::Value::string(option));
    javaVM_["VMOptionArray"] = plist::Value::array(std::move(array));
    result_.notes.push_back("mapped: " + from + " -> JavaVM/VMOptionArray += " +
                            joined(options, " | "));
  }

  // A string split at blanks the way the old launcher split it, or an array as it stands.
  std::optional<std::vector<std::string>> words(const plist::Value& value, const std::string& from,
                                                bool full) {
    std::vector<std::string> out;
    if (const std::string* text = value.asString()) {
      for (const auto& w : splitAtBlanks(*text)) out.push_back(translate(w, from, full));
      return out;
    }
    if (const plist::Array* array = value.asArray()) {
      for (const auto& element : *array) {
        if (auto s = element.stringValue()) out.push_back(translate(*s, from, full));
      }
      return out;
    }
    result_.notes.push_back("not mapped: " + from + " is neither a string nor an array");
    return std::nullopt;
  }

  void importVersion(const plist::Value& value, const std::string& from) {
    auto text = value.stringValue();
    auto bounds = text ? boundsOfJvmVersion(*text) : std::nullopt;
    if (!bounds) {
      result_.notes.push_back("not mapped: " + from + " " + value.description() +
                              " is not a version, a version+ or a version*");
      return;
    }
    setTopLevel("qmk.minVersion", bounds->min, from);
    setTopLevel("qmk.maxVersion", bounds->max, from);
  }

  void setTopLevel(const std::string& key, const std::optional<std::string>& value,
                   const std::string& from) {
    if (!value) return;
    if (foreign_.contains(key)) {
      result_.notes.push_back("not mapped: " + from + ", " + key + " is set already");
      return;
    }
    result_.info[key] = plist::Value::string(*value);
    result_.notes.push_back("mapped: " + from + " -> " + key + " = " + *value);
  }

  void importDictionaryForm(const std::string& form) {
    auto it = foreign_.find(form);
    if (it == foreign_.end()) return;
    foundAny_ = true;
    const plist::Dictionary* dictionary = it->second.asDictionary();
    if (!dictionary) {
      result_.notes.push_back("not mapped: " + form + " is not a dictionary (kept)");
      return;
    }
    plist::Dictionary left;
    // In the order the old launcher put them on the command line: options before properties.
    std::vector<std::string> keys = {"MainClass",        "ClassPath", "VMOptions",
                                     "Properties",       "JVMVersion", "WorkingDirectory",
                                     "Arguments",        "StartOnMainThread"};
    for (const auto& [key, value] : *dictionary) {
      if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
    }
    for (const std::string& key : keys) {
      auto entry = dictionary->find(key);
      if (entry == dictionary->end()) continue;
      const plist::Value& value = entry->second;
      const std::string from = form + "/" + key;
      if (key == "MainClass" && value.isString()) {
        set("MainClass", value, from);
      } else if (key == "ClassPath") {
        if (auto entries = words(value, from, false)) {
          // A string is already ":"-separated; an array holds one entry per element.
          set("ClassPath", plist::Value::string(joined(*entries, ":")), from);
        }
      } else if (key == "VMOptions") {
        if (auto options = words(value, from, true)) appendOptions(*options, from);
      } else if (key == "Properties" && value.isDictionary()) {
        std::vector<std::string> options;
        for (const auto& [name, property] : *value.asDictionary()) {
          options.push_back("-D" + name + "=" + translate(property.description(), from, true));
        }
        appendOptions(options, from);
      } else if (key == "JVMVersion") {
        importVersion(value, from);
      } else if (key == "WorkingDirectory" && value.isString()) {
        set("WorkingDirectory", plist::Value::string(translate(*value.asString(), from, false)),
            from);
      } else if (key == "Arguments") {
        if (auto args = words(value, from, true)) {
          plist::Array array;
          for (const auto& a : *args) array.push_back(plist::Value::string(a));
          set("ArgumentArray", plist::Value::array(std::move(array)), from);
        }
      } else if (key == "StartOnMainThread") {
        set("StartOnMainThread", plist::Value::boolean(value.boolValue()), from);
      } else {
        left[key] = value;
        result_.notes.push_back("not mapped: " + from + " has no equivalent (kept in " + form +
                                ")");
      }
    }
    consumed_.push_back(form);
    if (!left.empty()) {
      result_.info[form] = plist::Value::dictionary(std::move(left));
    } else {
      result_.info.erase(form);
    }
  }

  void importTopLevelForm() {
    auto take = [&](const char* key) -> const plist::Value* {
      auto it = foreign_.find(key);
      if (it == foreign_.end()) return nullptr;
      foundAny_ = true;
      consumed_.push_back(key);
      result_.info.erase(key);
      return &it->second;
    };
    const bool hasMainClass = foreign_.contains("JVMMainClassName");
    if (const auto* v = take("JVMMainClassName"); v && v->isString()) {
      set("MainClass", *v, "JVMMainClassName");
    }
    if (const auto* v = take("JVMOptions")) {
      if (auto options = words(*v, "JVMOptions", true)) appendOptions(*options, "JVMOptions");
    }
    if (const auto* v = take("JVMArguments")) {
      if (auto args = words(*v, "JVMArguments", true)) {
        plist::Array array;
        for (const auto& a : *args) array.push_back(plist::Value::string(a));
        set("ArgumentArray", plist::Value::array(std::move(array)), "JVMArguments");
      }
    }
    if (const auto* v = take("JVMClassPath")) {
      if (auto entries = words(*v, "JVMClassPath", false)) {
        set("ClassPath", plist::Value::string(joined(*entries, ":")), "JVMClassPath");
      }
    } else if (hasMainClass) {
      // That launcher puts every jar of Contents/Java on the class path when it is not given.
      set("ClassPath", plist::Value::string("$APP_PACKAGE/Contents/Java/*"),
          "(the class path JVMMainClassName implies)");
    }
    if (const auto* v = take("JVMVersion")) importVersion(*v, "JVMVersion");
    if (const auto* v = take("JVMRuntime")) {
      if (auto name = v->stringValue()) {
        set("SearchSequence",
            plist::Value::array({plist::Value::string("R$APP_PACKAGE/Contents/PlugIns/" + *name),
                                 plist::Value::string("Y")}),
            "JVMRuntime");
      }
    }
  }

  const plist::Dictionary& foreign_;
  std::optional<std::string> bundle_;
  ImportResult result_;
  plist::Dictionary javaVM_;
  std::vector<std::string> existing_;
  std::vector<std::string> consumed_;
  bool foundAny_ = false;
};

// The text before a trailing "+" or "*" (and the "." before a "*"), and which it was.
struct VersionRequirement {
  std::string version;
  char suffix = 0;
};

std::optional<VersionRequirement> requirementOf(std::string token) {
  VersionRequirement requirement;
  if (token.ends_with('+') || token.ends_with('*')) {
    requirement.suffix = token.back();
    token.pop_back();
    while (token.ends_with('.')) token.pop_back();
  }
  if (token.empty() || !std::isdigit(static_cast<unsigned char>(token[0]))) return std::nullopt;
  requirement.version = token;
  return requirement;
}

}  // namespace

std::optional<VersionBounds> boundsOfJvmVersion(const std::string& text) {
  std::optional<VersionBounds> bounds;
  bool open = false;
  for (const auto& token : splitAtBlanks(text)) {
    auto requirement = requirementOf(token);
    if (!requirement) return std::nullopt;
    if (!bounds) bounds = VersionBounds{requirement->version, requirement->version};
    if (Launcher::compareVersion(requirement->version, *bounds->min) < 0) bounds->min = requirement->version;
    if (requirement->suffix == '+') {
      open = true;
    } else if (Launcher::compareVersion(requirement->version, *bounds->max) > 0) {
      bounds->max = requirement->version;
    }
  }
  if (bounds && open) bounds->max.reset();
  return bounds;
}

ImportResult importForeignInfo(const plist::Dictionary& foreign,
                               const std::optional<std::string>& bundle) {
  return Importer(foreign, bundle).run();
}

}  // namespace bundler
