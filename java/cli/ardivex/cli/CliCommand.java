package ardivex.cli;

import java.io.IOException;
import java.io.PrintWriter;
import java.nio.file.AccessDeniedException;
import java.nio.file.FileSystemException;
import java.nio.file.NoSuchFileException;
import java.util.concurrent.Callable;
import picocli.CommandLine.Model.CommandSpec;
import picocli.CommandLine.ParameterException;
import picocli.CommandLine.Spec;

/**
 * Base of every command: output streams, and the one place where failures
 * become messages and exit codes. A command's {@link #run()} returns its exit
 * code or throws {@link CliException}; anything else that escapes it is a
 * failure (exit code 3) reported with its message, never a stack trace.
 */
public abstract class CliCommand implements Callable<Integer> {
    @Spec
    CommandSpec spec;

    /** @return where results go (standard output) */
    protected PrintWriter out() {
        return spec.commandLine().getOut();
    }

    /** @return where messages about problems go (standard error) */
    protected PrintWriter err() {
        return spec.commandLine().getErr();
    }

    /**
     * Tells the user something on standard error, as every message of the
     * tool begins: "dactylink" and the command's name.
     *
     * @param message the message
     */
    protected void message(String message) {
        err().println(Main.prefix(spec.commandLine()) + message);
    }

    /**
     * Does the command's work.
     *
     * @return an exit code of {@link ExitCode}
     * @throws Exception on failure; a {@link CliException} chooses the exit code
     */
    protected abstract int run() throws Exception;

    @Override
    public final Integer call() {
        try {
            return run();
        } catch (ParameterException e) {
            throw e; // picocli reports it with the usage, exit code 2
        } catch (CliException e) {
            message(e.getMessage());
            return e.exitCode();
        } catch (UnsatisfiedLinkError e) {
            message(e.getMessage());
            return ExitCode.FAILURE;
        } catch (Exception | Error e) {
            message(describe(e));
            return ExitCode.FAILURE;
        } finally {
            out().flush();
            err().flush();
        }
    }

    /**
     * Why a file could not be read or written, in words: the operating
     * system's reason rather than the Java exception.
     */
    static String reason(IOException e) {
        if (e instanceof NoSuchFileException) {
            return "no such file or folder";
        }
        if (e instanceof AccessDeniedException) {
            return "permission denied";
        }
        if (e instanceof FileSystemException && ((FileSystemException) e).getReason() != null) {
            return ((FileSystemException) e).getReason();
        }
        String m = e.getMessage();
        return m == null || m.isEmpty() ? e.getClass().getSimpleName() : m;
    }

    /** A one-line account of an unexpected failure: its kind and message. */
    static String describe(Throwable e) {
        String m = e.getMessage();
        return m == null || m.isEmpty() ? e.toString() : e.getClass().getSimpleName() + ": " + m;
    }
}
