package com.quillmark.launcher;

import java.lang.reflect.Method;
import java.util.Arrays;
import java.util.function.Consumer;

/**
 * The services of the application's launcher: later starts that open files in this instance,
 * restarting, and what the launcher knows about the bundle.
 *
 * <p>Everything here is safe to call however the application was started. Outside a bundle
 * whose launcher has the services on (in an IDE, with {@code java -jar}), {@link #isAvailable()}
 * is false, an open handler is never called, {@link #restart()} only ends the application, and
 * nothing throws.
 */
public final class LauncherServices {
  // Set by the launcher for every application it starts: without it, no launcher is there to
  // bind to, and the library search is not even tried.
  private static final String BUNDLE_PROPERTY = "qmk.ownBundlePath";
  // Runtimes from this version on warn when a class-path library binds natives without native
  // access; the launcher enables it for them when the services are on.
  private static final int FIRST_WARNING_RUNTIME = 24;

  private static final Object LOCK = new Object();
  private static final boolean AVAILABLE = bind();
  private static Consumer<OpenRequest> handler;
  private static boolean delivering;

  private LauncherServices() {}

  /** True when the application was started by its bundle's launcher with the services on. */
  public static boolean isAvailable() {
    return AVAILABLE;
  }

  /**
   * Sets the handler that receives the opens forwarded by later starts, in the order they
   * arrived. Requests that arrived before a handler was set are delivered to it when it is set.
   *
   * <p>The handler runs on a thread of the launcher services, never on the user interface's
   * thread: a Swing application moves to its own with {@code SwingUtilities.invokeLater}. A
   * null handler holds further requests until another one is set.
   */
  public static void setOpenHandler(Consumer<OpenRequest> newHandler) {
    synchronized (LOCK) {
      handler = newHandler;
      LOCK.notifyAll();
      if (!AVAILABLE || delivering || newHandler == null) return;
      delivering = true;
    }
    Thread thread = new Thread(LauncherServices::deliverRequests, "quillmark-open-requests");
    thread.setDaemon(true);
    thread.start();
  }

  /**
   * Ends the application as {@code System.exit(0)} does and, when the launcher's services are
   * available, starts it again with the same arguments. Does not return.
   */
  public static void restart() {
    if (AVAILABLE) {
      try {
        requestRestart0();
      } catch (Throwable t) {
        System.err.println("The application could not ask to be restarted: " + t);
      }
    }
    System.exit(0);
  }

  /**
   * The version of an update that is staged whole beside the bundle and newer than the running
   * one, or null: when there is none, or the services are not available. It takes effect at the
   * next start; {@link #restartToUpdate()} makes that start now.
   */
  public static String updateReady() {
    return AVAILABLE ? updateReady0() : null;
  }

  /**
   * Ends the application as {@code System.exit(0)} does and starts it again, so that a staged
   * update takes effect; the same as {@link #restart()}. Does not return.
   */
  public static void restartToUpdate() {
    restart();
  }

  /** The path of the application's bundle, or null when the services are not available. */
  public static String bundlePath() {
    return AVAILABLE ? bundlePath0() : null;
  }

  /** The bundle's CFBundleShortVersionString, or null when it has none or the services are not available. */
  public static String version() {
    return AVAILABLE ? version0() : null;
  }

  private static boolean bind() {
    try {
      if (System.getProperty(BUNDLE_PROPERTY) == null) return false;
      if (!nativeAccessAllowed()) return false;
      System.loadLibrary("quillmark");
      return true;
    } catch (Throwable notThere) {
      // No launcher to bind to, or one whose services are off: the services are not available.
      return false;
    }
  }

  // Loading a library would make a warning line on runtimes that warn, unless native access
  // is enabled, which the launcher does exactly when the services are on.
  private static boolean nativeAccessAllowed() throws Exception {
    if (featureVersion() < FIRST_WARNING_RUNTIME) return true;
    Method getModule = Class.class.getMethod("getModule");
    Object module = getModule.invoke(LauncherServices.class);
    Method enabled = module.getClass().getMethod("isNativeAccessEnabled");
    return Boolean.TRUE.equals(enabled.invoke(module));
  }

  private static int featureVersion() {
    String version = System.getProperty("java.version", "1.8");
    if (version.startsWith("1.")) return 8;
    int end = 0;
    while (end < version.length() && Character.isDigit(version.charAt(end))) end++;
    return end == 0 ? 8 : Integer.parseInt(version.substring(0, end));
  }

  private static void deliverRequests() {
    while (true) {
      String[] request;
      try {
        request = nextOpenRequest0();
      } catch (Throwable t) {
        System.err.println("Open requests are no longer received: " + t);
        return;
      }
      if (request == null || request.length == 0) return;
      OpenRequest open =
          new OpenRequest(Arrays.asList(request).subList(1, request.length), request[0]);
      Consumer<OpenRequest> current = awaitHandler();
      try {
        current.accept(open);
      } catch (Throwable t) {
        // The application's failure must not end the delivery of later requests.
        System.err.println("The open handler failed on " + open + ":");
        t.printStackTrace();
      }
    }
  }

  private static Consumer<OpenRequest> awaitHandler() {
    synchronized (LOCK) {
      boolean interrupted = false;
      while (handler == null) {
        try {
          LOCK.wait();
        } catch (InterruptedException e) {
          interrupted = true;
        }
      }
      if (interrupted) Thread.currentThread().interrupt();
      return handler;
    }
  }

  private static native String bundlePath0();

  private static native String version0();

  // Blocks until a later start's request arrives: { working directory, arguments... }.
  private static native String[] nextOpenRequest0();

  private static native void requestRestart0();

  private static native String updateReady0();
}
