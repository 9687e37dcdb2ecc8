// Desktop entries: the Exec quoting and escaping rules, the window class, the file id.
#include "bundler/desktop_entry.h"

#include <gtest/gtest.h>

namespace {

TEST(DesktopEntryTest, ExecArgumentsAreQuotedAndEscapedByTheEntryRules) {
  struct Case {
    const char* argument;
    const char* written;
  };
  const Case cases[] = {
      {"/opt/App.app/Contents/MacOS/App", "/opt/App.app/Contents/MacOS/App"},
      {"/opt/My App.app/x", "\"/opt/My App.app/x\""},
      {"/opt/Büro.app/x", "/opt/Büro.app/x"},  // non-ASCII needs no quoting
      {"/opt/a\"b", "\"/opt/a\\\\\"b\""},       // \" inside the quotes, its \ escaped again
      {"/opt/a$b", "\"/opt/a\\\\$b\""},
      {"/opt/a`b", "\"/opt/a\\\\`b\""},
      {"/opt/a\\b", "\"/opt/a\\\\\\\\b\""},    // a literal backslash is four
      {"/opt/100%", "/opt/100%%"},
      {"/opt/a;b", "\"/opt/a;b\""},
      {"/opt/a'b", "\"/opt/a'b\""},
      {"", "\"\""},
  };
  for (const auto& c : cases) EXPECT_EQ(bundler::execArgument(c.argument), c.written) << c.argument;
}

TEST(DesktopEntryTest, WindowClassAndFileId) {
  EXPECT_EQ(bundler::javaWindowClass("org.example.app.Main"), "org-example-app-Main");
  EXPECT_EQ(bundler::javaWindowClass("Main"), "Main");
  EXPECT_EQ(bundler::desktopFileId("com.example.my-app"), "com.example.my-app");
  EXPECT_EQ(bundler::desktopFileId("com.3d.app"), "com._3d.app");
  EXPECT_EQ(bundler::desktopFileId("com.ex ample"), "com.ex_ample");
}

TEST(DesktopEntryTest, EntryTextHasTheKeysInOrderAndEscapesTheName) {
  bundler::DesktopEntry entry;
  entry.name = "Two\nLines";
  entry.executable = "/a b/x";
  entry.icon = "com.example.x";
  entry.startupWmClass = "a-Main";
  entry.categories = "Utility;";
  EXPECT_EQ(bundler::desktopEntryText(entry),
            "[Desktop Entry]\nType=Application\nName=Two\\nLines\nExec=\"/a b/x\" %F\n"
            "Icon=com.example.x\nStartupWMClass=a-Main\nCategories=Utility;\nTerminal=false\n");
}

}  // namespace
