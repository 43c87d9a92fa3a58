package ardivex.cli;

/** Ends a command with a message for the user and an exit code of {@link ExitCode}. */
public class CliException extends Exception {
    private static final long serialVersionUID = 1L;

    private final int exitCode;

    /**
     * @param exitCode one of {@link ExitCode}
     * @param message what went wrong, and what to do about it where that helps
     */
    public CliException(int exitCode, String message) {
        super(message);
        this.exitCode = exitCode;
    }

    /** @return the exit code the tool ends with */
    public int exitCode() {
        return exitCode;
    }
}
