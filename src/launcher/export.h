// What appstub shows the dynamic loader. Everything is hidden by default; these names are
// visible so that a runtime library (or a tool inspecting a bundle) finds the launch core's
// entry points, its process-wide variables and its classes. Only appstub's link exports them.
#pragma once

#define QMK_EXPORT __attribute__((visibility("default")))
