// The natives of com.quillmark.launcher.LauncherServices. The runtime finds them in the
// executable itself: System.loadLibrary("quillmark") binds to a program that exports
// JNI_OnLoad_quillmark, and the Java_... functions then resolve to its own exports. appstub's
// export list names them; the other programs export none.
#include "launcher/services.h"

#include <jni.h>

#include <atomic>
#include <exception>
#include <string>
#include <utility>

#include "launcher/export.h"
#include "launcher/global.h"
#include "launcher/open_requests.h"
#include "launcher/restart.h"
#include "launcher/Launcher.h"
#include "launcher/service_keys.h"
#include "launcher/update_state.h"
#include "platform/bundle.h"
#include "platform/unicode.h"

namespace qmk::services {

namespace {

// The runtime calls the natives with nothing but its own environment: no launcher object, no
// argument that could carry the launch's context. The record therefore has to be reachable
// from anywhere in the process. It is written once, before the runtime starts and so before
// any thread that could read it exists, and never changes or goes away after that.
std::atomic<const LaunchRecord*>& recordSlot() {
  static std::atomic<const LaunchRecord*> record{nullptr};
  return record;
}

// Java strings from UTF-8 through UTF-16: the runtime's own UTF-8 entry takes its modified
// form, which misreads characters outside the basic plane. Invalid bytes become U+FFFD.
jstring javaString(JNIEnv* env, const std::string& text) {
  const std::u16string utf16 = unicode::toUtf16(text);
  return env->NewString(reinterpret_cast<const jchar*>(utf16.data()),
                        static_cast<jsize>(utf16.size()));
}

// A C++ exception must never unwind into the runtime: it becomes a Java error instead.
void throwJavaError(JNIEnv* env, const char* what) {
  if (env->ExceptionCheck()) return;
  if (jclass error = env->FindClass("java/lang/IllegalStateException")) env->ThrowNew(error, what);
}

jobjectArray requestArray(JNIEnv* env, const OpenRequest& request) {
  jclass stringClass = env->FindClass("java/lang/String");
  if (stringClass == nullptr) return nullptr;
  const auto length = static_cast<jsize>(request.arguments.size() + 1);
  jobjectArray array = env->NewObjectArray(length, stringClass, nullptr);
  if (array == nullptr) return nullptr;
  for (jsize i = 0; i < length; i++) {
    const std::string& text =
        i == 0 ? request.workingDirectory : request.arguments[static_cast<size_t>(i - 1)];
    jstring element = javaString(env, text);
    if (element == nullptr) return nullptr;
    env->SetObjectArrayElement(array, i, element);
    env->DeleteLocalRef(element);
  }
  return array;
}

// The version staged beside the bundle for the next start, when it is the same application and
// newer than the running one. A staged folder that holds an older version is what a start
// killed during a switch leaves behind; it is not an update.
std::optional<std::string> stagedUpdateVersion(const LaunchRecord& record) {
  if (!record.version) return std::nullopt;
  auto staged = platform::Bundle::create(qmk::update::stagedBundlePath(record.bundlePath));
  auto running = platform::Bundle::create(record.bundlePath);
  if (!staged || !running || !staged->identifier() ||
      staged->identifier() != running->identifier()) {
    return std::nullopt;
  }
  auto version = staged->info()["CFBundleShortVersionString"].stringValue();
  if (!version || Launcher::compareVersion(*version, *record.version) <= 0) return std::nullopt;
  return version;
}

}  // namespace

void recordLaunch(const platform::Bundle& bundle) {
  const plist::Value& info = bundle.info();
  if (!readServiceKeys(info).on()) return;
  // Never freed: the natives may read it until the process ends.
  auto* record = new LaunchRecord{bundle.path(), info["CFBundleShortVersionString"].stringValue()};
  const LaunchRecord* none = nullptr;
  if (!recordSlot().compare_exchange_strong(none, record)) delete record;
  DLOG("%s [Line %d] launcher services on for %@", bundle.path());
}

const LaunchRecord* launchRecord() { return recordSlot().load(); }

}  // namespace qmk::services

using qmk::services::launchRecord;

extern "C" {

// Binding fails (the runtime raises UnsatisfiedLinkError, which the Java side takes as "not
// available") unless a plain launch with the services on left its record.
QMK_EXPORT jint JNI_OnLoad_quillmark(JavaVM*, void*) {
  return launchRecord() != nullptr ? JNI_VERSION_1_8 : JNI_ERR;
}

QMK_EXPORT jstring JNICALL Java_com_quillmark_launcher_LauncherServices_bundlePath0(JNIEnv* env,
                                                                                    jclass) {
  const auto* record = launchRecord();
  return record ? qmk::services::javaString(env, record->bundlePath) : nullptr;
}

QMK_EXPORT jstring JNICALL Java_com_quillmark_launcher_LauncherServices_version0(JNIEnv* env,
                                                                                 jclass) {
  const auto* record = launchRecord();
  return record && record->version ? qmk::services::javaString(env, *record->version) : nullptr;
}

// Blocks until a later start's request is there; { working directory, arguments... }.
QMK_EXPORT jobjectArray JNICALL
Java_com_quillmark_launcher_LauncherServices_nextOpenRequest0(JNIEnv* env, jclass) {
  try {
    return qmk::services::requestArray(env, qmk::services::takeOpenRequest());
  } catch (const std::exception& e) {
    qmk::services::throwJavaError(env, e.what());
  } catch (...) {
    qmk::services::throwJavaError(env, "the open request could not be taken");
  }
  return nullptr;
}

QMK_EXPORT void JNICALL Java_com_quillmark_launcher_LauncherServices_requestRestart0(JNIEnv* env,
                                                                                     jclass) {
  try {
    qmk::services::requestRestart();
  } catch (const std::exception& e) {
    qmk::services::throwJavaError(env, e.what());
  } catch (...) {
    qmk::services::throwJavaError(env, "the restart could not be requested");
  }
}

QMK_EXPORT jstring JNICALL Java_com_quillmark_launcher_LauncherServices_updateReady0(JNIEnv* env,
                                                                                     jclass) {
  try {
    const auto* record = launchRecord();
    if (!record) return nullptr;
    const auto version = qmk::services::stagedUpdateVersion(*record);
    return version ? qmk::services::javaString(env, *version) : nullptr;
  } catch (const std::exception& e) {
    qmk::services::throwJavaError(env, e.what());
  } catch (...) {
    qmk::services::throwJavaError(env, "the staged update could not be read");
  }
  return nullptr;
}

}  // extern "C"
