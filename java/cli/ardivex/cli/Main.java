package ardivex.cli;

import ardivex.NativeLibrary;
import ardivex.Version;
import picocli.CommandLine;
import picocli.CommandLine.Command;
import picocli.CommandLine.Model.CommandSpec;
import picocli.CommandLine.ParameterException;
import picocli.CommandLine.Spec;

/**
 * The command-line tool. Its commands are the classes listed in
 * {@code subcommands}; see the package description for adding one.
 */
@Command(name = "dactylink", mixinStandardHelpOptions = true, versionProvider = Main.VersionInfo.class,
        exitCodeOnInvalidInput = ExitCode.USAGE,
        description = "Lists fingerprint readers, captures images, extracts templates, shows their items, compares "
                + "fingerprints and keeps a base of them.",
        subcommands = {ListCommand.class, CaptureCommand.class, ExtractCommand.class, InfoCommand.class,
                VerifyCommand.class, EnrollCommand.class, IdentifyCommand.class,
                CommandLine.HelpCommand.class},
        footerHeading = "%nExit codes:%n",
        footer = {"  0  success",
                "  1  nothing found: no reader, fewer images than asked, no template or no items;",
                "     verify: no match; identify: no candidate",
                "  2  usage: a wrong command, option or argument, an unreadable input file or a missing base",
                "  3  failure while running: the native library, a reader, the engine, a file or the base",
                "",
                "Environment: DACTYLINK_TRACE=1 traces the plug-in search on standard error."})
public final class Main implements Runnable {
    @Spec
    CommandSpec spec;

    /**
     * Runs the tool and exits with its exit code.
     *
     * @param args the command line
     */
    public static void main(String[] args) {
        System.exit(run(args));
    }

    /**
     * Runs the tool without exiting.
     *
     * @param args the command line
     * @return the exit code, one of {@link ExitCode}
     */
    public static int run(String... args) {
        return commandLine().execute(args);
    }

    /** @return the tool's command line, with its exit codes and handlers set */
    public static CommandLine commandLine() {
        CommandLine cl = new CommandLine(new Main());
        cl.setExecutionExceptionHandler((e, cmd, parsed) -> {
            cmd.getErr().println("dactylink: " + CliCommand.describe(e));
            return ExitCode.FAILURE;
        });
        return cl;
    }

    @Override
    public void run() {
        throw new ParameterException(spec.commandLine(), "Missing a command: list, capture, extract, info, verify, enroll or identify");
    }

    /** The tool's version: the jar's, and that of the native library it loads. */
    static final class VersionInfo implements CommandLine.IVersionProvider {
        @Override
        public String[] getVersion() {
            String nativeLine;
            try {
                nativeLine = "native library " + NativeLibrary.getVersion() + ", loaded from "
                        + NativeLibrary.getLocation();
            } catch (UnsatisfiedLinkError e) {
                nativeLine = "native library not loaded: " + e.getMessage();
            }
            return new String[] {"dactylink " + Version.get(), nativeLine,
                    "Java " + System.getProperty("java.version") + " (" + System.getProperty("java.vendor") + ") on "
                            + System.getProperty("os.name") + " " + System.getProperty("os.arch")};
        }
    }
}
