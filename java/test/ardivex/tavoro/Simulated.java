package ardivex.tavoro;

import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The realistic simulator as a process of its own, for tests that follow its
 * touches: started with the given options, it logs every image it serves with
 * its touch and the hash of its pixels, so an image a test received is known
 * by touch; faults go through its control file.
 */
public final class Simulated implements AutoCloseable {
    private static final Pattern SERVED = Pattern.compile(
            "sensor (\\d+): image (\\d+) of touch (\\d+) \\(finger (\\d+)(, poor)?\\).*hash ([0-9a-f]{16})");

    /** One image the simulator served. */
    static final class Served {
        final int sensor;
        final int touch;
        final int finger;
        final boolean poor;

        Served(int sensor, int touch, int finger, boolean poor) {
            this.sensor = sensor;
            this.touch = touch;
            this.finger = finger;
            this.poor = poor;
        }
    }

    private final Process process;
    private final Path dir;
    private final Path log;
    private final Path control;

    public Simulated(int sensors, String... options) throws Exception {
        String simulator = System.getenv("DACTYLINK_TAVORO_SIM");
        String pipeDir = System.getenv("DACTYLINK_PIPE_DIR");
        assertTrue(simulator != null && pipeDir != null, "no Tavoro simulator configured for this run");
        Files.createDirectories(Path.of(pipeDir));
        dir = Files.createTempDirectory("tavoro-sim");
        log = dir.resolve("sim.log");
        control = dir.resolve("control.txt");
        Files.createFile(control);
        List<String> cmd = new ArrayList<>(List.of(simulator, "--sensors=" + sensors, "--log", "--until-stdin-closes",
                "--control=" + control));
        cmd.addAll(List.of(options));
        process = new ProcessBuilder(cmd).redirectErrorStream(true).redirectOutput(log.toFile()).start();
        long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);
        while (!Files.readString(log).contains("serving " + sensors + " sensor")) {
            assertTrue(process.isAlive(), "the simulator ended at start: " + Files.readString(log));
            assertTrue(System.nanoTime() < end, "the simulator's pipes never appeared");
            Thread.sleep(20);
        }
    }

    /** Runs a command of the simulator (a line of its control file). */
    public void command(String line) throws IOException {
        Files.write(control, (line + "\n").getBytes(StandardCharsets.US_ASCII), StandardOpenOption.APPEND);
    }

    /** Waits until the simulator's output holds `text`. */
    void awaitOutput(String text, long seconds) throws Exception {
        long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(seconds);
        while (!Files.readString(log).contains(text)) {
            assertTrue(System.nanoTime() < end, "the simulator never printed " + text);
            Thread.sleep(20);
        }
    }

    /** The images served so far, by the hash of their pixels. */
    Map<Long, Served> served() throws IOException {
        Map<Long, Served> out = new HashMap<>();
        for (String line : Files.readAllLines(log, StandardCharsets.ISO_8859_1)) {
            Matcher m = SERVED.matcher(line);
            if (m.find()) {
                out.put(Long.parseUnsignedLong(m.group(6), 16), new Served(Integer.parseInt(m.group(1)),
                        Integer.parseInt(m.group(3)), Integer.parseInt(m.group(4)), m.group(5) != null));
            }
        }
        return out;
    }

    /** The simulator's hash of an image's pixels (64-bit FNV-1a). */
    static long hash(byte[] pixels) {
        long h = 0xCBF29CE484222325L;
        for (byte b : pixels) {
            h = (h ^ (b & 0xff)) * 0x100000001B3L;
        }
        return h;
    }

    @Override
    public void close() throws Exception {
        process.destroyForcibly();
        process.waitFor(20, TimeUnit.SECONDS);
        try (var files = Files.list(dir)) {
            for (Path p : (Iterable<Path>) files::iterator) {
                Files.deleteIfExists(p);
            }
        }
        Files.deleteIfExists(dir);
    }
}
