// The progress window as a GTK 3 window: icon on the left; status line, progress bar and
// progress line on the right; the Cancel button below.
#include <gtk/gtk.h>

#include <algorithm>

#include "launcher/global.h"
#include "setupstub/progress_window.h"

namespace {

constexpr int kIconSize = 64;
constexpr int kWidth = 460;
constexpr guint kPulseMilliseconds = 100;

class GtkProgressWindow : public ProgressWindow {
 public:
  GtkProgressWindow() {
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window_), kWidth, -1);
    gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
    gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
    gtk_container_set_border_width(GTK_CONTAINER(window_), 16);
    g_signal_connect(window_, "delete-event", G_CALLBACK(onDelete), this);

    GtkWidget* rows = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
    GtkWidget* top = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 16);
    icon_ = gtk_image_new();
    gtk_widget_set_size_request(icon_, kIconSize, kIconSize);
    gtk_widget_set_valign(icon_, GTK_ALIGN_START);
    gtk_box_pack_start(GTK_BOX(top), icon_, FALSE, FALSE, 0);

    GtkWidget* texts = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    label_ = makeLabel();
    progressBar_ = gtk_progress_bar_new();
    progressLabel_ = makeLabel();
    gtk_box_pack_start(GTK_BOX(texts), label_, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(texts), progressBar_, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(texts), progressLabel_, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(top), texts, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(rows), top, TRUE, TRUE, 0);

    GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
    gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
    cancelButton_ = gtk_button_new_with_label("Cancel");
    g_signal_connect(cancelButton_, "clicked", G_CALLBACK(onCancelClicked), this);
    g_signal_connect(cancelButton_, "size-allocate", G_CALLBACK(onButtonPlaced), this);
    g_signal_connect_after(window_, "map", G_CALLBACK(onMapped), this);
    gtk_container_add(GTK_CONTAINER(buttons), cancelButton_);
    gtk_box_pack_start(GTK_BOX(rows), buttons, FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(window_), rows);
  }

  ~GtkProgressWindow() override {
    stopPulse();
    gtk_widget_destroy(window_);
  }

  void setTitle(const std::string& title) override {
    gtk_window_set_title(GTK_WINDOW(window_), title.c_str());
  }

  void setIcon(const std::optional<std::string>& imagePath) override {
    if (!imagePath) return gtk_image_clear(GTK_IMAGE(icon_));
    GError* error = nullptr;
    // The largest image of an icon file, scaled down.
    GdkPixbuf* image = gdk_pixbuf_new_from_file(imagePath->c_str(), &error);
    if (!image) {
      DLOG("%s [Line %d] cannot read icon %@: %s", *imagePath, error ? error->message : "");
      if (error) g_error_free(error);
      return gtk_image_clear(GTK_IMAGE(icon_));
    }
    gtk_window_set_icon(GTK_WINDOW(window_), image);
    GdkPixbuf* scaled =
        gdk_pixbuf_scale_simple(image, kIconSize, kIconSize, GDK_INTERP_BILINEAR);
    gtk_image_set_from_pixbuf(GTK_IMAGE(icon_), scaled);
    g_object_unref(scaled);
    g_object_unref(image);
  }

  void setStatus(const std::string& text) override {
    gtk_label_set_text(GTK_LABEL(label_), text.c_str());
  }

  void setProgressText(const std::string& text) override {
    gtk_label_set_text(GTK_LABEL(progressLabel_), text.c_str());
  }

  void setProgress(double value) override {
    value_ = std::clamp(value, 0.0, 100.0);
    if (!indeterminate_) {
      gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progressBar_), value_ / 100);
    }
  }

  void setIndeterminate(bool indeterminate) override {
    if (indeterminate_ == indeterminate) return;
    indeterminate_ = indeterminate;
    if (!indeterminate) {
      stopPulse();
      gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progressBar_), value_ / 100);
    }
  }

  void startAnimation() override {
    if (!indeterminate_ || pulse_ != 0) return;
    pulse_ = g_timeout_add(kPulseMilliseconds, onPulse, this);
  }

  void setCancelTitle(const std::string& title) override {
    gtk_button_set_label(GTK_BUTTON(cancelButton_), title.c_str());
  }

  void setCancelEnabled(bool enabled) override {
    gtk_widget_set_sensitive(cancelButton_, enabled);
  }
  bool cancelEnabled() const override { return gtk_widget_get_sensitive(cancelButton_); }

  void close() override {
    closed_ = true;
    stopPulse();
    gtk_widget_hide(window_);
  }
  bool isClosed() const override { return closed_; }

  void activate() override {
    if (closed_) return;
    gtk_widget_show_all(window_);
    gtk_window_present(GTK_WINDOW(window_));
  }

 private:
  static GtkWidget* makeLabel() {
    GtkWidget* label = gtk_label_new("");
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(label), 50);
    return label;
  }

  void stopPulse() {
    if (pulse_ != 0) g_source_remove(pulse_);
    pulse_ = 0;
  }

  static gboolean onPulse(gpointer self) {
    auto* window = static_cast<GtkProgressWindow*>(self);
    gtk_progress_bar_pulse(GTK_PROGRESS_BAR(window->progressBar_));
    return G_SOURCE_CONTINUE;
  }

  // Closing the window is a press of Cancel; the window itself stays until the process ends.
  static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer self) {
    static_cast<GtkProgressWindow*>(self)->performCancel();
    return TRUE;
  }

  static void onCancelClicked(GtkButton*, gpointer self) {
    static_cast<GtkProgressWindow*>(self)->performCancel();
  }

  // Where the button sits inside the shown window, for whoever drives the window from outside;
  // logged when it changes.
  static void onButtonPlaced(GtkWidget* button, GdkRectangle* area, gpointer data) {
    auto* self = static_cast<GtkProgressWindow*>(data);
    if (!gtk_widget_get_mapped(self->window_)) return;
    GdkRectangle place{0, 0, area->width, area->height};
    gtk_widget_translate_coordinates(button, self->window_, 0, 0, &place.x, &place.y);
    if (gdk_rectangle_equal(&place, &self->buttonPlace_)) return;
    self->buttonPlace_ = place;
    DLOG("%s [Line %d] cancel button at %d,%d size %dx%d", place.x, place.y, place.width,
         place.height);
  }

  static void onMapped(GtkWidget*, gpointer data) {
    auto* self = static_cast<GtkProgressWindow*>(data);
    GtkAllocation area;
    gtk_widget_get_allocation(self->cancelButton_, &area);
    onButtonPlaced(self->cancelButton_, &area, self);
  }

  GtkWidget* window_ = nullptr;
  GtkWidget* icon_ = nullptr;
  GtkWidget* label_ = nullptr;
  GtkWidget* progressBar_ = nullptr;
  GtkWidget* progressLabel_ = nullptr;
  GtkWidget* cancelButton_ = nullptr;
  guint pulse_ = 0;
  GdkRectangle buttonPlace_{};
  double value_ = 0;
  bool indeterminate_ = false;
  bool closed_ = false;
};

}  // namespace

std::unique_ptr<ProgressWindow> makeGtkProgressWindow() {
  return std::make_unique<GtkProgressWindow>();
}
