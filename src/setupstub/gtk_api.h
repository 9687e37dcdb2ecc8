// The GTK 3 functions the installer window uses, loaded from the system's GTK library only when
// a window is wanted: without a display the installer never maps GTK and its many libraries,
// which keeps the headless installer small.
#pragma once

#include <glib-unix.h>
#include <gtk/gtk.h>

#define QMK_GTK_FUNCTIONS(X)          \
  X(gtk_init_check)                   \
  X(gtk_disable_setlocale)            \
  X(gtk_main)                         \
  X(gtk_window_new)                   \
  X(gtk_window_set_default_size)      \
  X(gtk_window_set_resizable)         \
  X(gtk_window_set_position)          \
  X(gtk_window_set_title)             \
  X(gtk_window_set_icon)              \
  X(gtk_window_present)               \
  X(gtk_container_set_border_width)   \
  X(gtk_container_add)                \
  X(gtk_box_new)                      \
  X(gtk_box_pack_start)               \
  X(gtk_image_new)                    \
  X(gtk_image_clear)                  \
  X(gtk_image_set_from_pixbuf)        \
  X(gtk_label_new)                    \
  X(gtk_label_set_text)               \
  X(gtk_label_set_xalign)             \
  X(gtk_label_set_line_wrap)          \
  X(gtk_label_set_max_width_chars)    \
  X(gtk_progress_bar_new)             \
  X(gtk_progress_bar_set_fraction)    \
  X(gtk_progress_bar_pulse)           \
  X(gtk_button_box_new)               \
  X(gtk_button_box_set_layout)        \
  X(gtk_button_new_with_label)        \
  X(gtk_button_set_label)             \
  X(gtk_widget_set_size_request)      \
  X(gtk_widget_set_valign)            \
  X(gtk_widget_set_sensitive)         \
  X(gtk_widget_show_all)              \
  X(gtk_widget_hide)                  \
  X(gtk_widget_destroy)               \
  X(gdk_pixbuf_new_from_file)         \
  X(gdk_pixbuf_scale_simple)          \
  X(g_signal_connect_data)            \
  X(g_object_unref)                   \
  X(g_error_free)                     \
  X(g_timeout_add)                    \
  X(g_source_remove)                  \
  X(g_idle_add_full)                  \
  X(g_unix_signal_add)                \
  X(g_main_context_iteration)

struct GtkApi {
#define QMK_DECLARE_GTK_FUNCTION(name) decltype(&::name) name = nullptr;
  QMK_GTK_FUNCTIONS(QMK_DECLARE_GTK_FUNCTION)
#undef QMK_DECLARE_GTK_FUNCTION
};

// The functions, loaded on first use and kept for the life of the process; null when GTK 3 is
// not installed or lacks one of them.
const GtkApi* gtkApi();

// A widget as one of its GTK classes (the checked cast macros would bind GLib at link time).
template <typename T>
T* as(GtkWidget* widget) {
  return reinterpret_cast<T*>(widget);
}
