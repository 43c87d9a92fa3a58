package ardivex.cli;

/** The exit codes of the command-line tool. */
public final class ExitCode {
    /** The command did what was asked. */
    public static final int OK = 0;
    /** Nothing was found: no reader, fewer images than asked, no template or no items. */
    public static final int NOTHING_FOUND = 1;
    /** The command line was wrong, or an input file named on it cannot be read. */
    public static final int USAGE = 2;
    /** A failure while running: the native library, a reader, the engine or a file failed. */
    public static final int FAILURE = 3;

    private ExitCode() {
    }
}
