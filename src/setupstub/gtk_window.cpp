// The progress window as a GTK 3 window: icon on the left; status line, progress bar and
// progress line on the right; the Cancel button below.

#include <algorithm>

#include "launcher/global.h"
#include "setupstub/gtk_api.h"
#include "setupstub/progress_window.h"

namespace {

constexpr int kIconSize = 64;
constexpr int kWidth = 460;
constexpr guint kPulseMilliseconds = 100;

class GtkProgressWindow : public ProgressWindow {
 public:
  explicit GtkProgressWindow(const GtkApi& api) : gtk(api) {
    window_ = gtk.gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk.gtk_window_set_default_size(as<GtkWindow>(window_), kWidth, -1);
    gtk.gtk_window_set_resizable(as<GtkWindow>(window_), FALSE);
    gtk.gtk_window_set_position(as<GtkWindow>(window_), GTK_WIN_POS_CENTER);
    gtk.gtk_container_set_border_width(as<GtkContainer>(window_), 16);
    gtk.g_signal_connect_data(window_, "delete-event", G_CALLBACK(onDelete), this, nullptr,
                              GConnectFlags(0));
    gtk.g_signal_connect_data(window_, "destroy-event", G_CALLBACK(onDestroyed), this, nullptr,
                              GConnectFlags(0));

    GtkWidget* rows = gtk.gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
    GtkWidget* top = gtk.gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 16);
    icon_ = gtk.gtk_image_new();
    gtk.gtk_widget_set_size_request(icon_, kIconSize, kIconSize);
    gtk.gtk_widget_set_valign(icon_, GTK_ALIGN_START);
    gtk.gtk_box_pack_start(as<GtkBox>(top), icon_, FALSE, FALSE, 0);

    GtkWidget* texts = gtk.gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    label_ = makeLabel();
    progressBar_ = gtk.gtk_progress_bar_new();
    progressLabel_ = makeLabel();
    gtk.gtk_box_pack_start(as<GtkBox>(texts), label_, FALSE, FALSE, 0);
    gtk.gtk_box_pack_start(as<GtkBox>(texts), progressBar_, FALSE, FALSE, 0);
    gtk.gtk_box_pack_start(as<GtkBox>(texts), progressLabel_, FALSE, FALSE, 0);
    gtk.gtk_box_pack_start(as<GtkBox>(top), texts, TRUE, TRUE, 0);
    gtk.gtk_box_pack_start(as<GtkBox>(rows), top, TRUE, TRUE, 0);

    GtkWidget* buttons = gtk.gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
    gtk.gtk_button_box_set_layout(as<GtkButtonBox>(buttons), GTK_BUTTONBOX_END);
    cancelButton_ = gtk.gtk_button_new_with_label("Cancel");
    gtk.g_signal_connect_data(cancelButton_, "clicked", G_CALLBACK(onCancelClicked), this, nullptr,
                              GConnectFlags(0));
    gtk.gtk_container_add(as<GtkContainer>(buttons), cancelButton_);
    gtk.gtk_box_pack_start(as<GtkBox>(rows), buttons, FALSE, FALSE, 0);
    gtk.gtk_container_add(as<GtkContainer>(window_), rows);
  }

  ~GtkProgressWindow() override {
    stopPulse();
    if (!destroyed_) gtk.gtk_widget_destroy(window_);
  }

  void setTitle(const std::string& title) override {
    if (destroyed_) return;
    gtk.gtk_window_set_title(as<GtkWindow>(window_), title.c_str());
  }

  void setIcon(const std::optional<std::string>& imagePath) override {
    if (destroyed_) return;
    if (!imagePath) return gtk.gtk_image_clear(as<GtkImage>(icon_));
    GError* error = nullptr;
    // The largest image of an icon file, scaled down.
    GdkPixbuf* image = gtk.gdk_pixbuf_new_from_file(imagePath->c_str(), &error);
    if (!image) {
      DLOG("%s [Line %d] cannot read icon %@: %s", *imagePath, error ? error->message : "");
      if (error) gtk.g_error_free(error);
      return gtk.gtk_image_clear(as<GtkImage>(icon_));
    }
    gtk.gtk_window_set_icon(as<GtkWindow>(window_), image);
    GdkPixbuf* scaled =
        gtk.gdk_pixbuf_scale_simple(image, kIconSize, kIconSize, GDK_INTERP_BILINEAR);
    gtk.gtk_image_set_from_pixbuf(as<GtkImage>(icon_), scaled);
    gtk.g_object_unref(scaled);
    gtk.g_object_unref(image);
  }

  void setStatus(const std::string& text) override {
    if (destroyed_) return;
    gtk.gtk_label_set_text(as<GtkLabel>(label_), text.c_str());
  }

  void setProgressText(const std::string& text) override {
    if (destroyed_) return;
    gtk.gtk_label_set_text(as<GtkLabel>(progressLabel_), text.c_str());
  }

  void setProgress(double value) override {
    value_ = std::clamp(value, 0.0, 100.0);
    if (!indeterminate_ && !destroyed_) {
      gtk.gtk_progress_bar_set_fraction(as<GtkProgressBar>(progressBar_), value_ / 100);
    }
  }

  void setIndeterminate(bool indeterminate) override {
    if (indeterminate_ == indeterminate) return;
    indeterminate_ = indeterminate;
    if (!indeterminate && !destroyed_) {
      stopPulse();
      gtk.gtk_progress_bar_set_fraction(as<GtkProgressBar>(progressBar_), value_ / 100);
    }
  }

  void startAnimation() override {
    if (!indeterminate_ || pulse_ != 0 || destroyed_) return;
    pulse_ = gtk.g_timeout_add(kPulseMilliseconds, onPulse, this);
  }

  void setCancelTitle(const std::string& title) override {
    if (destroyed_) return;
    gtk.gtk_button_set_label(as<GtkButton>(cancelButton_), title.c_str());
  }

  void setCancelEnabled(bool enabled) override {
    cancelEnabled_ = enabled;
    if (!destroyed_) gtk.gtk_widget_set_sensitive(cancelButton_, enabled);
  }
  // Kept here too: a destroyed window still answers, so that its end can act as Cancel.
  bool cancelEnabled() const override { return cancelEnabled_; }

  void close() override {
    closed_ = true;
    stopPulse();
    if (!destroyed_) gtk.gtk_widget_hide(window_);
  }
  bool isClosed() const override { return closed_; }

  void activate() override {
    if (closed_ || destroyed_) return;
    gtk.gtk_widget_show_all(window_);
    gtk.gtk_window_present(as<GtkWindow>(window_));
  }

 private:
  GtkWidget* makeLabel() {
    GtkWidget* label = gtk.gtk_label_new("");
    gtk.gtk_label_set_xalign(as<GtkLabel>(label), 0);
    gtk.gtk_label_set_line_wrap(as<GtkLabel>(label), TRUE);
    gtk.gtk_label_set_max_width_chars(as<GtkLabel>(label), 50);
    return label;
  }

  void stopPulse() {
    if (pulse_ != 0) gtk.g_source_remove(pulse_);
    pulse_ = 0;
  }

  static gboolean onPulse(gpointer self) {
    auto* window = static_cast<GtkProgressWindow*>(self);
    window->gtk.gtk_progress_bar_pulse(as<GtkProgressBar>(window->progressBar_));
    return G_SOURCE_CONTINUE;
  }

  // Closing the window is a press of Cancel; the window itself stays until the process ends.
  static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer self) {
    static_cast<GtkProgressWindow*>(self)->performCancel();
    return TRUE;
  }

  // Another program destroyed the window's X window (any client of the display may). The run
  // ends as Cancel would end it; once Cancel is disabled it goes on without a window, as with a
  // closed one. The widgets are left alone from now on, never destroyed: taking them down after
  // their X window is gone makes GTK complain about every animation they had running.
  static gboolean onDestroyed(GtkWidget*, GdkEvent*, gpointer data) {
    auto* self = static_cast<GtkProgressWindow*>(data);
    DLOG("%s [Line %d] progress window destroyed");
    self->stopPulse();
    self->destroyed_ = true;
    self->closed_ = true;
    self->performCancel();
    return TRUE;
  }

  static void onCancelClicked(GtkButton*, gpointer self) {
    static_cast<GtkProgressWindow*>(self)->performCancel();
  }

  const GtkApi& gtk;
  GtkWidget* window_ = nullptr;
  GtkWidget* icon_ = nullptr;
  GtkWidget* label_ = nullptr;
  GtkWidget* progressBar_ = nullptr;
  GtkWidget* progressLabel_ = nullptr;
  GtkWidget* cancelButton_ = nullptr;
  guint pulse_ = 0;
  double value_ = 0;
  bool indeterminate_ = false;
  bool closed_ = false;
  bool cancelEnabled_ = true;
  bool destroyed_ = false;  // the X window is gone; nothing may touch the widgets any more
};

}  // namespace

std::unique_ptr<ProgressWindow> makeGtkProgressWindow() {
  const GtkApi* api = gtkApi();
  return api ? std::make_unique<GtkProgressWindow>(*api) : nullptr;
}
