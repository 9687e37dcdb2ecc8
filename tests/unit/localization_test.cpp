// Localised strings: the language order taken from the environment the process started with,
// and the lookup through the language folders.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>

#include "platform/bundle.h"
#include "platform/process_info.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

constexpr const char* kBundleVariable = "QMK_L10N_BUNDLE";

std::string join(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ",") + item;
  return out;
}

// Runs in a child started by the tests below, with the locale variables they chose.
TEST(LocalizationChild, Report) {
  const char* path = std::getenv(kBundleVariable);
  if (path == nullptr) GTEST_SKIP() << "runs only as a child of the localization tests";
  // Changes after start must not count.
  ::setenv("LANGUAGE", "fr", 1);
  ::setenv("LANG", "fr_FR.UTF-8", 1);
  auto bundle = platform::Bundle::create(path);
  ASSERT_TRUE(bundle);
  std::cout << "LANGUAGES=" << join(bundle->languages()) << "\n";
  for (const char* key : {"Key", "Partial", "BaseOnly", "Unlocalised", "Missing"}) {
    std::cout << "TEXT " << key << "=" << bundle->localizedString(key) << "\n";
  }
}

class LocalizationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app = makeAppBundle(tmp.path(), "Demo.app", dict({{"CFBundleDevelopmentRegion", str("es")}}));
    resources = app + "/Contents/Resources";
  }

  // The child's report for a start with exactly these locale variables.
  std::map<std::string, std::string> report(std::map<std::string, std::optional<std::string>> env) {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"})
      env.emplace(name, std::nullopt);
    env[kBundleVariable] = app;
    auto result =
        run({platform::executablePath(), "--gtest_filter=LocalizationChild.Report"}, "", env);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    std::map<std::string, std::string> lines;
    size_t start = 0;
    while (start < result.out.size()) {
      size_t end = result.out.find('\n', start);
      if (end == std::string::npos) end = result.out.size();
      std::string line = result.out.substr(start, end - start);
      if (size_t eq = line.find('='); eq != std::string::npos)
        lines[line.substr(0, eq)] = line.substr(eq + 1);
      start = end + 1;
    }
    return lines;
  }

  TempDir tmp;
  std::string app;
  std::string resources;
};

TEST_F(LocalizationTest, LanguagesComeFromTheStartEnvironment) {
  const std::string tail = "es,Spanish,en,English,Base";
  struct Case {
    std::map<std::string, std::optional<std::string>> env;
    std::string expected;
  };
  const Case cases[] = {
      {{}, tail},
      {{{"LANG", "de_DE.UTF-8"}}, "de_DE,de-DE,de,German," + tail},
      {{{"LANG", "C.UTF-8"}}, tail},
      {{{"LANG", "POSIX"}}, tail},
      {{{"LANGUAGE", "pt_BR:fr"}, {"LANG", "de_DE.UTF-8"}},
       "pt_BR,pt-BR,pt,fr,French,de_DE,de-DE,de,German," + tail},
      {{{"LC_ALL", "fr_FR.UTF-8@euro"}, {"LANG", "de_DE.UTF-8"}}, "fr_FR,fr-FR,fr,French," + tail},
      {{{"LC_MESSAGES", "ja_JP.eucJP"}, {"LANG", "de_DE.UTF-8"}},
       "ja_JP,ja-JP,ja,Japanese," + tail},
      {{{"LC_ALL", ""}, {"LANG", "nl_NL"}}, "nl_NL,nl-NL,nl,Dutch," + tail},
      {{{"LANG", "es_ES.UTF-8"}}, "es_ES,es-ES,es,Spanish,en,English,Base"},
  };
  for (const auto& c : cases) {
    auto lines = report(c.env);
    EXPECT_EQ(lines["LANGUAGES"], c.expected);
  }
}

TEST_F(LocalizationTest, LookupFollowsTheLanguageOrder) {
  writeFile(resources + "/de.lproj/Localizable.strings", "\"Key\" = \"Deutsch\";");
  writeFile(resources + "/en.lproj/Localizable.strings",
            "\"Key\" = \"English\";\n\"Partial\" = \"English partial\";");
  writeFile(resources + "/Base.lproj/Localizable.strings", "\"BaseOnly\" = \"base\";");
  writeFile(resources + "/Localizable.strings",
            "\"Unlocalised\" = \"plain\"; \"Key\" = \"plain key\";");

  auto german = report({{"LANG", "de_DE.UTF-8"}});
  EXPECT_EQ(german["TEXT Key"], "Deutsch");
  EXPECT_EQ(german["TEXT Partial"], "English partial");
  EXPECT_EQ(german["TEXT BaseOnly"], "base");
  EXPECT_EQ(german["TEXT Unlocalised"], "plain");
  EXPECT_EQ(german["TEXT Missing"], "Missing");

  EXPECT_EQ(report({{"LANG", "fr_FR.UTF-8"}})["TEXT Key"], "English");

  // A broken table counts as missing: the next language answers.
  writeFile(resources + "/de.lproj/Localizable.strings", "\"Key\" = \"Deutsch\"");
  EXPECT_EQ(report({{"LANG", "de_DE.UTF-8"}})["TEXT Key"], "English");
}

TEST_F(LocalizationTest, DevelopmentRegionComesBeforeEnglish) {
  writeFile(resources + "/es.lproj/Localizable.strings", "\"Key\" = \"Espa\xC3\xB1ol\";");
  writeFile(resources + "/English.lproj/Localizable.strings", "\"Key\" = \"English\";");
  EXPECT_EQ(report({{"LANG", "C"}})["TEXT Key"], "Espa\xC3\xB1ol");
  EXPECT_EQ(report({{"LANGUAGE", "en"}})["TEXT Key"], "English");
}

// Lookups that do not depend on the user's language: only an English table exists.
TEST_F(LocalizationTest, MissingKeysTablesAndUtf16) {
  std::string table = "\xFF\xFE";
  for (char c : std::string("\"Title\" = \"Setup\";")) table += std::string{c, '\0'};
  writeFile(resources + "/en.lproj/Window.strings", table);
  writeFile(resources + "/en.lproj/Localizable.strings", "\"Key\" = \"Text\";");
  auto bundle = platform::Bundle::create(app);
  EXPECT_EQ(bundle->localizedString("Key"), "Text");
  EXPECT_EQ(bundle->localizedString("Nope"), "Nope");
  EXPECT_EQ(bundle->localizedString("Nope", "fallback"), "fallback");
  EXPECT_EQ(bundle->localizedString("Title", "", "Window"), "Setup");
  EXPECT_EQ(bundle->localizedString("Title"), "Title");
  EXPECT_EQ(bundle->localizedString("Key", "", "Window"), "Key");
}

TEST_F(LocalizationTest, FlatBundleKeepsLanguageFoldersAtItsTop) {
  writeFile(tmp / "Messages.bundle/Info.plist", plist::toXml(dict({})));
  writeFile(tmp / "Messages.bundle/en.lproj/Localizable.strings",
            "\"vexel.InternalError\" = \"Failed: %@\";");
  auto bundle = platform::Bundle::create(tmp / "Messages.bundle");
  EXPECT_EQ(bundle->localizedString("vexel.InternalError"), "Failed: %@");
}

}  // namespace
