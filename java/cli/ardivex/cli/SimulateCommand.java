package ardivex.cli;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.MessageDigest;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.stream.Stream;
import picocli.CommandLine.Command;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;
import picocli.CommandLine.ParameterException;

/**
 * {@code simulate}: the simulated Tavoro device service and its sensors
 * (the program {@code tavoro-sim} that this jar carries), served until
 * stopped, so that an application finds readers without hardware.
 */
@Command(name = "simulate", mixinStandardHelpOptions = true,
        description = {"Serves simulated Tavoro sensors until stopped (Ctrl-C): applications, and the other "
                + "commands, find them as readers through the plug-in omr_tavoro_64 that the dactylink jar carries.",
                "Fingers touch each sensor one after the other, several times each; while a finger rests, images "
                + "come at the sensor's rate; between touches the finger is lifted and no image comes.",
                "Commands appended to the control file inject faults while serving, to see how an application "
                + "copes: an outage of the service (restart MS), a reader unplugged and plugged back (unplug I MS), "
                + "late replies (late I MS), a poor touch (poor I). tavoro-sim --help lists them all."},
        footer = {"", "Example, with a second terminal for the application:",
                "  java -jar dactylink-cli.jar simulate --sensors 2 --fingers 5",
                "  java -jar dactylink-cli.jar simulate -- --sensor1-silent --touch=1500"})
public final class SimulateCommand extends CliCommand {
    @Option(names = "--sensors", paramLabel = "N", defaultValue = "1",
            description = "Number of simulated sensors (default: ${DEFAULT-VALUE}).")
    int sensors;

    @Option(names = "--fingers", paramLabel = "N",
            description = "Fingers that touch each sensor in turn (default 3).")
    Integer fingers;

    @Option(names = "--rate", paramLabel = "N",
            description = "Images a second while a finger rests (default 10).")
    Integer rate;

    @Option(names = "--fast", description = "The fast sensor of the tests instead: three pictures in turn, as "
            + "fast as they are asked for.")
    boolean fast;

    @Option(names = "--control", paramLabel = "FILE",
            description = "The control file to read commands from (default: one in a temporary folder, named at "
                    + "the start).")
    Path control;

    @Option(names = "--seconds", paramLabel = "S", defaultValue = "0",
            description = "End after S seconds (default: run until stopped).")
    int seconds;

    @Parameters(paramLabel = "SIMULATOR-OPTION", arity = "0..*",
            description = "More options of tavoro-sim, after --, for example --sensor0-serial=12AB34CD.")
    List<String> more = new ArrayList<>();

    private final AtomicBoolean stopping = new AtomicBoolean();

    /** Where the jar keeps the simulator of each platform, with its SHA-256 hash. */
    static final String RESOURCES = "/ardivex/cli/sim/";

    @Override
    protected int run() throws Exception {
        if (sensors < 1 || sensors > 64) {
            throw new ParameterException(spec.commandLine(), "--sensors must be 1 to 64, not " + sensors);
        }
        if (seconds < 0) {
            throw new ParameterException(spec.commandLine(), "--seconds must be 0 or more, not " + seconds);
        }
        for (String o : more) {
            if (!o.startsWith("--")) {
                throw new ParameterException(spec.commandLine(), "options of the simulator start with --, not: " + o);
            }
            for (String own : new String[] {"--sensors", "--control", "--seconds"}) {
                if (o.equals(own) || o.startsWith(own + "=")) {
                    throw new ParameterException(spec.commandLine(), "give " + own + " to simulate itself, not after --");
                }
            }
        }
        // Private to this user (0700 on POSIX), removed when the simulator ends.
        Path dir = Files.createTempDirectory("dactylink-sim-");
        Process sim = null;
        Thread hook = null;
        try {
            Path program = unpack(dir);
            Path controlFile = control != null ? control.toAbsolutePath() : dir.resolve("control.txt");
            if (!Files.exists(controlFile)) {
                Files.createFile(controlFile);
            }
            List<String> cmd = new ArrayList<>(List.of(program.toString(), "--sensors=" + sensors,
                    "--control=" + controlFile));
            if (fast) {
                cmd.add("--fast");
            }
            if (fingers != null) {
                cmd.add("--fingers=" + fingers);
            }
            if (rate != null) {
                cmd.add("--rate=" + rate);
            }
            if (seconds > 0) {
                cmd.add("--seconds=" + seconds);
            }
            cmd.addAll(more);
            // Its input stays open as long as this JVM lives: killed, the JVM
            // takes the simulator with it instead of leaving it on the pipes.
            cmd.add("--until-stdin-closes");
            sim = new ProcessBuilder(cmd).redirectErrorStream(true).start();
            Process running = sim;
            // Ctrl-C or the end of the JVM ends the simulator too.
            hook = new Thread(() -> {
                stopping.set(true);
                stop(running, controlFile, dir);
                System.out.println();
                System.out.println("The simulation stopped.");
                System.out.flush();
            }, "dactylink-simulate-stop");
            Runtime.getRuntime().addShutdownHook(hook);
            relay(sim.getInputStream(), controlFile);
            int code = sim.waitFor();
            if (stopping.get() || code == 130 || code == 143 || code == 0xC000013A) {
                return ExitCode.OK; // Ctrl-C, or the JVM ending: the hook tells it
            }
            if (code == 2) {
                throw new CliException(ExitCode.USAGE, "the simulator refused its options (see above)");
            }
            if (code != 0) {
                throw new CliException(ExitCode.FAILURE, "the simulator ended with exit code " + code
                        + (code == 1 ? " (is another device service, or simulator, serving already?)" : ""));
            }
            out().println("The simulation ended.");
            return ExitCode.OK;
        } finally {
            boolean ending = false;
            if (hook != null) {
                try {
                    Runtime.getRuntime().removeShutdownHook(hook);
                } catch (IllegalStateException e) {
                    ending = true; // the JVM is ending: the hook stops the simulator
                }
            }
            if (!ending) {
                if (sim != null) {
                    sim.destroyForcibly();
                    sim.waitFor(10, TimeUnit.SECONDS);
                }
                removeFolder(dir);
            }
        }
    }

    /** Copies this platform's simulator out of the jar, checked against its recorded hash. */
    static Path unpack(Path dir) throws IOException, CliException {
        String os = System.getProperty("os.name", "").toLowerCase(Locale.ROOT);
        String arch = System.getProperty("os.arch", "");
        boolean windows = os.startsWith("windows");
        if (!(arch.equals("amd64") || arch.equals("x86_64")) || !(windows || os.startsWith("linux"))) {
            throw new CliException(ExitCode.FAILURE, "the simulator is made for Linux and Windows on x86-64, not for "
                    + System.getProperty("os.name") + " on " + arch);
        }
        String platform = (windows ? "windows" : "linux") + "-x86_64";
        String name = windows ? "tavoro-sim.exe" : "tavoro-sim";
        String hash = recordedHash(platform, name);
        Path program = dir.resolve(name);
        MessageDigest sha = sha256();
        try (InputStream in = SimulateCommand.class.getResourceAsStream(RESOURCES + platform + "/" + name);
                OutputStream out = Files.newOutputStream(program, StandardOpenOption.CREATE_NEW)) {
            if (in == null) {
                throw new CliException(ExitCode.FAILURE, "the jar lists the simulator for " + platform
                        + " but does not hold it");
            }
            byte[] buf = new byte[64 * 1024];
            for (int n; (n = in.read(buf)) > 0;) {
                sha.update(buf, 0, n);
                out.write(buf, 0, n);
            }
        }
        if (!String.format("%064x", new BigInteger(1, sha.digest())).equals(hash)) {
            throw new CliException(ExitCode.FAILURE, "the jar's simulator does not match its recorded hash");
        }
        if (!windows) {
            Files.setPosixFilePermissions(program, PosixFilePermissions.fromString("rwx------"));
        }
        return program;
    }

    private static String recordedHash(String platform, String name) throws IOException, CliException {
        try (InputStream in = SimulateCommand.class.getResourceAsStream(RESOURCES + platform + "/SHA256SUMS")) {
            if (in == null) {
                throw new CliException(ExitCode.FAILURE, "this jar carries no simulator for " + platform
                        + " (the release packaging adds it: scripts/package.sh)");
            }
            for (String line : new String(in.readAllBytes(), StandardCharsets.UTF_8).split("\n")) {
                if (line.matches("[0-9a-f]{64}  \\S+") && line.substring(66).equals(name)) {
                    return line.substring(0, 64);
                }
            }
        }
        throw new CliException(ExitCode.FAILURE, "the jar's list of simulator files does not name " + name);
    }

    private static MessageDigest sha256() {
        try {
            return MessageDigest.getInstance("SHA-256");
        } catch (java.security.NoSuchAlgorithmException e) {
            throw new IllegalStateException("every Java runtime has SHA-256", e);
        }
    }

    /**
     * The simulator's output, its first lines told in the terms of an
     * application: the readers, where the library finds them, how to inject
     * a fault. Returns when the simulator closes its output.
     */
    private void relay(InputStream from, Path controlFile) throws IOException {
        String prefix = "tavoro-sim: ";
        BufferedReader in = new BufferedReader(new InputStreamReader(from, StandardCharsets.UTF_8));
        String mainPipe = null;
        int readers = -1; // until the simulator serves
        for (String line; (line = in.readLine()) != null;) {
            if (readers < 0 && line.startsWith(prefix + "serving ")) {
                readers = 0;
                out().println("Simulated Tavoro device service with " + sensors
                        + (sensors == 1 ? " sensor" : " sensors") + ", until stopped (Ctrl-C):");
            } else if (readers >= 0 && mainPipe == null && line.startsWith(prefix + "main pipe ")) {
                mainPipe = line.substring((prefix + "main pipe ").length());
            } else if (readers >= 0 && readers < sensors && line.matches("tavoro-sim: sensor \\d+: reader .*")) {
                out().println("  reader " + line.substring(line.indexOf(": reader ") + 9));
                if (++readers == sensors && mainPipe != null) {
                    whereAndHow(mainPipe, controlFile);
                }
            } else {
                out().println(line);
            }
            out().flush();
        }
    }

    private void whereAndHow(String mainPipe, Path controlFile) {
        int open = mainPipe.indexOf(" (");
        if (open > 0 && mainPipe.endsWith(")")) {
            Path socket = Path.of(mainPipe.substring(open + 2, mainPipe.length() - 1));
            out().println("The library finds them through its plug-in omr_tavoro_64 in the pipe folder "
                    + socket.getParent());
            out().println("  (DACTYLINK_PIPE_DIR: an application started with another value finds none).");
        } else {
            out().println("The library finds them through its plug-in omr_tavoro_64 at the device service pipe "
                    + mainPipe + " of this machine.");
        }
        out().println("Inject a fault by appending a command to " + controlFile + ", for example:");
        out().println("  restart 3000    the device service away for 3 s");
        out().println("  unplug 0 2000   reader 0 unplugged, and plugged back 2 s later");
        out().println("  late 0 6500     the next reply of reader 0 comes 6.5 s late");
        out().println("  poor 0          the next touch on reader 0 is a poor one (light, partial)");
    }

    /** Asks the simulator to end through its control file, then insists; removes the folder. */
    private static void stop(Process sim, Path controlFile, Path dir) {
        try {
            if (sim.isAlive()) {
                Files.write(controlFile, "quit\n".getBytes(StandardCharsets.UTF_8), StandardOpenOption.APPEND);
                if (!sim.waitFor(2, TimeUnit.SECONDS)) {
                    sim.destroyForcibly().waitFor(10, TimeUnit.SECONDS);
                }
            }
        } catch (IOException e) {
            sim.destroyForcibly();
        } catch (InterruptedException e) {
            sim.destroyForcibly();
            Thread.currentThread().interrupt();
        }
        removeFolder(dir);
    }

    private static void removeFolder(Path dir) {
        try (Stream<Path> s = Files.walk(dir)) {
            s.sorted(Comparator.reverseOrder()).forEach(p -> {
                try {
                    Files.deleteIfExists(p);
                } catch (IOException e) {
                    // left in the temporary folder; nothing depends on it
                }
            });
        } catch (NoSuchFileException e) {
            // gone already
        } catch (IOException e) {
            // left in the temporary folder
        }
    }
}
