package ardivex.bench;

import ardivex.scanners.Scanner;
import ardivex.scanners.ScannerMan;
import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.Random;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicLong;

/**
 * Soak: two simulated Tavoro sensors capture through the scanner classes for a
 * given time while the simulator is told to inject a fault every few seconds.
 * Prints every fault and how long the affected sensors took to deliver a good
 * image again, the images delivered (and any the sensor never served), and the
 * process's threads, open descriptors and resident memory at the start, after
 * the warm-up minute and at the end. Not a test: run it by hand (scripts/soak.sh).
 *
 * <pre>
 * DACTYLINK_PIPE_DIR=dir java -Djava.library.path=BUILD/tavoro-java-bin \
 *   -cp BUILD/java/dactylink.jar:BUILD/java/bench-classes ardivex.bench.TavoroSoak \
 *   BUILD/bin/tavoro-sim [seconds=600] [seconds between faults=5] [seed=1]
 * </pre>
 */
public final class TavoroSoak {
    static final int WIDTH = 256;
    static final int HEIGHT = 360;
    static final String[] SERIALS = {"12AB34CD", "00C0FFEE"};
    static final long WARM_UP_MS = 60_000;

    private TavoroSoak() {
    }

    /** One sensor as the soak sees it. */
    static final class Sensor {
        final int index;
        final AtomicLong good = new AtomicLong();
        final AtomicLong foreign = new AtomicLong();
        volatile long lastGoodNanos;
        // The longest pause between two good images since the last reset.
        volatile long longestPauseNanos;
        List<byte[]> served = Collections.emptyList();

        Sensor(int index) {
            this.index = index;
        }
    }

    /** A fault the soak injects: its command and for how long it keeps the sensors away. */
    record Fault(String command, int sensor, long outageMs) {
    }

    static Fault pick(Random random, int round) {
        int s = random.nextInt(2);
        switch (round % 10) {
            case 0: return new Fault("restart 2000", -1, 2000);
            case 1: return new Fault("unplug " + s + " 2000", s, 2000);
            case 2: return new Fault("late " + s + " 6500", s, 0);
            case 3: return new Fault("cut " + s, s, 0);
            case 4: return new Fault("overlong " + s + " 64", s, 0);
            case 5: return new Fault("short-image " + s + " 1000", s, 0);
            case 6: return new Fault("garbage " + s + " 32", s, 0);
            case 7: return new Fault("busy " + s + " 3000", s, 3000);
            case 8: return new Fault("restart 2000 renumber", -1, 2000);
            default: return new Fault("unplug " + s + " 2000 renumber", s, 2000);
        }
    }

    /** Threads, open descriptors and resident memory of this process (Linux /proc). */
    static String resources() {
        long threads = -1;
        long rssKb = -1;
        try {
            for (String line : Files.readAllLines(Path.of("/proc/self/status"), StandardCharsets.ISO_8859_1)) {
                if (line.startsWith("Threads:")) {
                    threads = Long.parseLong(line.substring(8).trim());
                } else if (line.startsWith("VmRSS:")) {
                    rssKb = Long.parseLong(line.substring(6).replace("kB", "").trim());
                }
            }
        } catch (IOException | NumberFormatException e) {
            return "resources unknown (" + e + ")";
        }
        String[] fds = new File("/proc/self/fd").list();
        return String.format("threads %d, open descriptors %d, resident memory %d kB", threads,
                fds == null ? -1 : fds.length, rssKb);
    }

    static long[] numbers(String resources) {
        String[] w = resources.replaceAll("[^0-9 ]", " ").trim().split("\\s+");
        long[] out = new long[w.length];
        for (int i = 0; i < w.length; i++) {
            out[i] = Long.parseLong(w[i]);
        }
        return out;
    }

    public static void main(String[] args) throws Exception {
        String pipeDir = System.getenv("DACTYLINK_PIPE_DIR");
        if (args.length < 1 || pipeDir == null) {
            System.err.println("usage: DACTYLINK_PIPE_DIR=dir TavoroSoak <tavoro-sim> [seconds] [seconds between faults] [seed]");
            System.exit(2);
        }
        long seconds = args.length > 1 ? Long.parseLong(args[1]) : 600;
        long faultEveryMs = (long) (1000 * (args.length > 2 ? Double.parseDouble(args[2]) : 5));
        Random random = new Random(args.length > 3 ? Long.parseLong(args[3]) : 1);

        Files.createDirectories(Path.of(pipeDir));
        Path work = Files.createTempDirectory("tavoro-soak");
        Path dumps = Files.createDirectories(work.resolve("dumps"));
        Path control = work.resolve("control");
        Files.writeString(control, "");
        Path simLog = work.resolve("sim.log");
        List<String> cmd = new ArrayList<>(List.of(args[0], "--sensors=2", "--size=" + WIDTH + "x" + HEIGHT,
                "--fast", "--finger-after=1", "--dump=" + dumps, "--control=" + control));
        for (int i = 0; i < SERIALS.length; i++) {
            cmd.add("--sensor" + i + "-serial=" + SERIALS[i]);
        }
        Process sim = new ProcessBuilder(cmd).redirectErrorStream(true).redirectOutput(simLog.toFile()).start();
        String atStart = resources();
        System.out.println("soak: start: " + atStart);
        List<Scanner> scanners = new ArrayList<>();
        Sensor[] sensors = {new Sensor(0), new Sensor(1)};
        long t0 = System.nanoTime();
        int faultsInjected = 0;
        int recoveries = 0;
        int notRecovered = 0;
        List<Long> recoveryMs = new ArrayList<>();
        String afterWarmUp = null;
        String atEnd = null;
        long longestPauseMs = 0;
        try {
            long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);
            while (!Files.readString(simLog, StandardCharsets.ISO_8859_1).contains("serving 2 sensor")) {
                if (!sim.isAlive() || System.nanoTime() > end) {
                    throw new IllegalStateException("the simulator did not start");
                }
                Thread.sleep(20);
            }
            int count = ScannerMan.getScannerCount();
            if (count != 2) {
                throw new IllegalStateException("expected two sensors, found " + count);
            }
            for (int i = 0; i < 2; i++) {
                Scanner s = ScannerMan.getScanner(i);
                Sensor sensor = sensors[Arrays.asList(SERIALS).indexOf(s.getID().substring(7))];
                s.addScanListener((sc, e) -> {
                    if (e.kind != Scanner.ScanEventKind.ImageScanned || e.image == null) {
                        return;
                    }
                    if (isServed(sensor, dumps, e.image)) {
                        long now = System.nanoTime();
                        long last = sensor.lastGoodNanos;
                        if (last != 0 && now - last > sensor.longestPauseNanos) {
                            sensor.longestPauseNanos = now - last;
                        }
                        sensor.good.incrementAndGet();
                        sensor.lastGoodNanos = now;
                    } else {
                        sensor.foreign.incrementAndGet();
                    }
                });
                scanners.add(s);
            }
            for (Scanner s : scanners) {
                s.startCapturing();
            }
            long stop = t0 + TimeUnit.SECONDS.toNanos(seconds);
            int round = 0;
            while (System.nanoTime() < stop) {
                Thread.sleep(Math.min(faultEveryMs, Math.max(0, (stop - System.nanoTime()) / 1_000_000)));
                if (afterWarmUp == null && System.nanoTime() - t0 >= TimeUnit.MILLISECONDS.toNanos(WARM_UP_MS)) {
                    System.gc();
                    afterWarmUp = resources();
                    System.out.println("soak: after the warm-up minute: " + afterWarmUp);
                }
                if (System.nanoTime() >= stop) {
                    break;
                }
                Fault f = pick(random, round++);
                long window = Math.max(faultEveryMs, f.outageMs() + 1000);
                if (System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(window) > stop) {
                    break;  // no time left to see it recover
                }
                for (Sensor s : sensors) {
                    s.longestPauseNanos = 0;
                }
                long injected = System.nanoTime();
                Files.writeString(control, f.command() + "\n", StandardOpenOption.APPEND);
                faultsInjected++;
                // Recovered: every affected sensor delivered a good image after the
                // outage ended, before the next fault is due.
                long back = injected + TimeUnit.MILLISECONDS.toNanos(f.outageMs());
                long deadline = injected + TimeUnit.MILLISECONDS.toNanos(window);
                long recovered = -1;
                while (System.nanoTime() < deadline && System.nanoTime() < stop) {
                    boolean all = true;
                    long latest = 0;
                    for (Sensor s : sensors) {
                        if (f.sensor() >= 0 && f.sensor() != s.index) {
                            continue;
                        }
                        long last = s.lastGoodNanos;
                        all &= last > back && last > injected;
                        latest = Math.max(latest, last);
                    }
                    if (all) {
                        recovered = latest;
                        break;
                    }
                    Thread.sleep(10);
                }
                double at = (injected - t0) / 1e9;
                if (recovered > 0) {
                    recoveries++;
                    long ms = Math.max(0, (recovered - Math.max(back, injected)) / 1_000_000);
                    recoveryMs.add(ms);
                    // A reply fault spoils one exchange some time after it is injected:
                    // the longest pause in the images tells what it cost.
                    long pause = 0;
                    for (Sensor s : sensors) {
                        if (f.sensor() < 0 || f.sensor() == s.index) {
                            pause = Math.max(pause, s.longestPauseNanos / 1_000_000);
                        }
                    }
                    longestPauseMs = Math.max(longestPauseMs, pause);
                    System.out.printf("soak: %7.1f s fault %d '%s': images again %d ms after it ended,"
                            + " longest pause in images %d ms%n", at, faultsInjected, f.command(), ms, pause);
                } else {
                    notRecovered++;
                    System.out.printf("soak: %7.1f s fault %d '%s': NOT recovered before the next fault%n", at,
                            faultsInjected, f.command());
                }
                long wait = deadline - System.nanoTime();
                if (wait > 0) {
                    Thread.sleep(wait / 1_000_000);
                }
            }
            System.gc();
            atEnd = resources();
            for (Scanner s : scanners) {
                s.stopCapturing();
            }
        } finally {
            Files.writeString(control, "quit\n", StandardOpenOption.APPEND);
            if (!sim.waitFor(10, TimeUnit.SECONDS)) {
                sim.destroyForcibly();
            }
        }
        double elapsed = (System.nanoTime() - t0) / 1e9;
        Collections.sort(recoveryMs);
        System.out.printf("soak: %.0f s, faults injected %d, recovered %d, not recovered %d%n", elapsed, faultsInjected,
                recoveries, notRecovered);
        if (!recoveryMs.isEmpty()) {
            System.out.printf("soak: recovery after a fault ended: median %d ms, 90th percentile %d ms, longest %d ms%n",
                    recoveryMs.get(recoveryMs.size() / 2), recoveryMs.get(recoveryMs.size() * 9 / 10),
                    recoveryMs.get(recoveryMs.size() - 1));
            System.out.printf("soak: longest pause in a sensor's images around a fault: %d ms%n", longestPauseMs);
        }
        for (Sensor s : sensors) {
            System.out.printf("soak: sensor %s: images delivered %d, images it never served %d%n", SERIALS[s.index],
                    s.good.get(), s.foreign.get());
        }
        System.out.println("soak: start: " + atStart);
        if (afterWarmUp != null) {
            System.out.println("soak: after the warm-up minute: " + afterWarmUp);
        }
        System.out.println("soak: end (still capturing): " + atEnd);
        if (afterWarmUp != null && atEnd != null) {
            long[] a = numbers(afterWarmUp);
            long[] b = numbers(atEnd);
            boolean steady = a[0] == b[0] && a[1] == b[1] && b[2] <= a[2] * 1.10;
            System.out.println("soak: after the warm-up: threads and descriptors " + (a[0] == b[0] && a[1] == b[1]
                    ? "equal" : "CHANGED") + ", resident memory " + String.format("%+.1f %%", 100.0 * (b[2] - a[2]) / a[2])
                    + (steady ? " (steady)" : " (GROWTH)"));
        }
        ScannerMan.uninitialize();
        deleteTree(work.toFile());
    }

    static boolean isServed(Sensor sensor, Path dumps, Scanner.ScanImage img) {
        if (img.width != WIDTH || img.height != HEIGHT) {
            return false;
        }
        // The simulator writes each distinct image once, before serving it.
        if (sensor.served.size() < 3) {
            List<byte[]> list = new ArrayList<>();
            for (int n = 0; n < 3; n++) {
                Path p = dumps.resolve("sensor" + sensor.index + "-" + n + ".raw");
                try {
                    if (Files.exists(p)) {
                        list.add(Files.readAllBytes(p));
                    }
                } catch (IOException e) {
                    break;
                }
            }
            sensor.served = list;
        }
        for (byte[] b : sensor.served) {
            if (Arrays.equals(b, img.buffer)) {
                return true;
            }
        }
        return false;
    }

    static void deleteTree(File f) {
        File[] children = f.listFiles();
        if (children != null) {
            for (File c : children) {
                deleteTree(c);
            }
        }
        f.delete();
    }
}
