package com.quillmark.launcher;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;

/**
 * What a later start of the application asked for: the arguments it was started with, as they
 * were given, and the directory it was started in, so that relative file names can be resolved.
 */
public final class OpenRequest {
  private final List<String> arguments;
  private final String workingDirectory;

  OpenRequest(List<String> arguments, String workingDirectory) {
    this.arguments = Collections.unmodifiableList(new ArrayList<String>(arguments));
    this.workingDirectory = workingDirectory;
  }

  /** The later start's command-line arguments, unchanged and in order; never null. */
  public List<String> arguments() {
    return arguments;
  }

  /** The later start's working directory. */
  public String workingDirectory() {
    return workingDirectory;
  }

  @Override
  public String toString() {
    return "OpenRequest" + arguments + " in " + workingDirectory;
  }
}
