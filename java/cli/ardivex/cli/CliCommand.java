package ardivex.cli;

import java.io.PrintWriter;
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
            err().println("dactylink " + spec.name() + ": " + e.getMessage());
            return e.exitCode();
        } catch (UnsatisfiedLinkError e) {
            err().println("dactylink " + spec.name() + ": " + e.getMessage());
            return ExitCode.FAILURE;
        } catch (Exception | Error e) {
            err().println("dactylink " + spec.name() + ": " + describe(e));
            return ExitCode.FAILURE;
        } finally {
            out().flush();
            err().flush();
        }
    }

    /** A one-line account of an unexpected failure: its kind and message. */
    static String describe(Throwable e) {
        String m = e.getMessage();
        return m == null || m.isEmpty() ? e.toString() : e.getClass().getSimpleName() + ": " + m;
    }
}
