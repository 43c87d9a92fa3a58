package ardivex.cli;

import ardivex.NativeLibrary;
import ardivex.Version;
import java.io.PrintWriter;
import picocli.CommandLine;
import picocli.CommandLine.Command;
import picocli.CommandLine.Model.CommandSpec;
import picocli.CommandLine.ParameterException;
import picocli.CommandLine.Spec;
import picocli.CommandLine.UnmatchedArgumentException;

/**
 * The command-line tool. Its commands are the classes listed in
 * {@code subcommands}; see the package description for adding one.
 */
@Command(name = "dactylink", mixinStandardHelpOptions = true, versionProvider = Main.VersionInfo.class,
        exitCodeOnInvalidInput = ExitCode.USAGE,
        description = "Lists fingerprint readers, captures images, extracts templates, shows their items, converts "
                + "them to and from the standard minutiae records, compares fingerprints and keeps a base of them.",
        subcommands = {ListCommand.class, CaptureCommand.class, ExtractCommand.class, InfoCommand.class,
                ConvertCommand.class, VerifyCommand.class, EnrollCommand.class, IdentifyCommand.class,
                SimulateCommand.class, WindowCommand.class,
                CommandLine.HelpCommand.class},
        footerHeading = "%nExit codes:%n",
        footer = {"  0  success",
                "  1  nothing found: no reader, fewer images than asked, no template or no",
                "     items (an image or a template without minutiae); verify: no match;",
                "     identify: no candidate",
                "  2  usage: a wrong command, option or argument, a missing base, an input",
                "     file that cannot be read, is larger than " + Inputs.MAX_TEXT + ", is neither an image,",
                "     a valid minutiae record nor a valid template or is a BMP cut short, or",
                "     an output file that exists (without --force) or is an input",
                "  3  failure while running: the native library, a reader, the engine, a",
                "     file or the base",
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
            cmd.getErr().println(prefix(cmd) + CliCommand.describe(e));
            return ExitCode.FAILURE;
        });
        cl.setParameterExceptionHandler(Main::usageError);
        return cl;
    }

    /** How every message of a command begins: "dactylink capture: ", or "dactylink: " before a command. */
    static String prefix(CommandLine cmd) {
        return cmd.getCommandSpec().qualifiedName() + ": ";
    }

    /**
     * A wrong command line: what is wrong, the command's usage line and where
     * the whole help is; the help itself only with --help.
     */
    private static int usageError(ParameterException e, String[] args) {
        CommandLine cmd = e.getCommandLine();
        PrintWriter err = cmd.getErr();
        err.println(prefix(cmd) + e.getMessage());
        if (e instanceof UnmatchedArgumentException) {
            UnmatchedArgumentException.printSuggestions(e, err);
        }
        err.print("Usage: " + cmd.getHelp().synopsis(0));
        err.println("See '" + cmd.getCommandSpec().qualifiedName() + " --help' for the whole help.");
        err.flush();
        return ExitCode.USAGE;
    }

    @Override
    public void run() {
        throw new ParameterException(spec.commandLine(),
                "missing a command: list, capture, extract, info, convert, verify, enroll, identify, simulate or window");
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
