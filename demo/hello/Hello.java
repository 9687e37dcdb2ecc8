package hello;

/** The demo application: shows what the launcher gave it. */
public class Hello {
  public static void main(String[] args) {
    System.out.println("Hello from " + System.getProperty("java.vendor") + " Java "
        + System.getProperty("java.version") + " in " + System.getProperty("java.home"));
    System.out.println("  working directory: " + System.getProperty("user.dir"));
    System.out.println("  class path:        " + System.getProperty("java.class.path"));
    System.out.println("  runtime chosen:    " + System.getProperty("qmk.jreBundle"));
    System.out.println("  own bundle:        " + System.getProperty("qmk.ownBundlePath"));
    System.out.println("  greeting:          " + System.getProperty("hello.greeting"));
    System.out.println("  max heap:          " + Runtime.getRuntime().maxMemory() / (1024 * 1024) + " MiB");
    for (int i = 0; i < args.length; i++) {
      System.out.println("  argument " + i + ":        " + args[i]);
    }
  }
}
