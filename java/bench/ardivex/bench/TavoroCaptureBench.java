package ardivex.bench;

import ardivex.scanners.Scanner;
import ardivex.scanners.ScannerMan;
import java.io.BufferedReader;
import java.io.File;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicLong;

/**
 * Images per second from a simulated Tavoro sensor that answers at once to the
 * Java listener, set against the exchanges of the same captures alone.
 *
 * <pre>
 * DACTYLINK_PIPE_DIR=/tmp/bench-pipes java -Djava.library.path=BUILD/tavoro-java-bin \
 *   -cp BUILD/java/dactylink.jar:BUILD/java/bench-classes ardivex.bench.TavoroCaptureBench \
 *   BUILD/bin/tavoro-sim BUILD/bin/tavoro_cycle_exchanges [seconds]
 * </pre>
 */
public final class TavoroCaptureBench {
    private TavoroCaptureBench() {
    }

    /** Runs the exchanges-only program against the simulator that is serving; its time per image in ms. */
    private static double exchangesAlone(String program, double seconds, int width, int height) throws Exception {
        ProcessBuilder xb = new ProcessBuilder(program, String.valueOf(seconds), String.valueOf(width), String.valueOf(height));
        xb.redirectErrorStream(true);
        Process x = xb.start();
        String line;
        double exchangeMs = Double.NaN;
        try (BufferedReader r = new BufferedReader(new InputStreamReader(x.getInputStream(), StandardCharsets.UTF_8))) {
            while ((line = r.readLine()) != null) {
                System.out.println(line);
                String[] w = line.trim().split("\\s+");
                for (int i = 0; i + 1 < w.length; i++) {
                    if (w[i].equals("ms/image")) {
                        exchangeMs = Double.parseDouble(w[i + 1]);
                    }
                }
            }
        }
        if (x.waitFor() != 0 || Double.isNaN(exchangeMs)) {
            throw new IllegalStateException("the exchanges-only program failed");
        }
        return exchangeMs;
    }

    public static void main(String[] args) throws Exception {
        if (args.length < 2 || System.getenv("DACTYLINK_PIPE_DIR") == null) {
            System.err.println("usage: DACTYLINK_PIPE_DIR=dir TavoroCaptureBench <tavoro-sim> <tavoro_cycle_exchanges> [seconds]");
            System.exit(2);
        }
        String pipeDir = System.getenv("DACTYLINK_PIPE_DIR");
        double seconds = args.length > 2 ? Double.parseDouble(args[2]) : 10;
        final int width = 256;
        final int height = 360;

        Files.createDirectories(Path.of(pipeDir));
        File log = File.createTempFile("tavoro-bench", ".log");
        // One simulator process serves both: first the capture exchanges alone,
        // then the capture through the plug-in and the library.
        Process sim = new ProcessBuilder(args[0], "--sensors=1", "--size=" + width + "x" + height, "--fast", "--finger-after=0")
                .redirectErrorStream(true).redirectOutput(log).start();
        try {
            long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);
            while (!Files.readString(log.toPath(), StandardCharsets.ISO_8859_1).contains("serving 1 sensor")) {
                if (!sim.isAlive() || System.nanoTime() > end) {
                    throw new IllegalStateException("the simulator did not start");
                }
                Thread.sleep(20);
            }
            double exchangeMs = exchangesAlone(args[1], seconds, width, height);
            if (ScannerMan.getScannerCount() != 1) {
                throw new IllegalStateException("expected one sensor, found " + ScannerMan.getScannerCount());
            }
            Scanner s = ScannerMan.getScanner(0);
            AtomicLong count = new AtomicLong();
            s.addScanListener((sc, e) -> {
                if (e.kind == Scanner.ScanEventKind.ImageScanned) {
                    count.incrementAndGet();
                }
            });
            s.startCapturing();
            Thread.sleep(1000); // warm-up
            long n0 = count.get();
            long t0 = System.nanoTime();
            Thread.sleep((long) (seconds * 1000));
            long n1 = count.get();
            long t1 = System.nanoTime();
            s.stopCapturing();
            ScannerMan.uninitialize();
            double elapsed = (t1 - t0) / 1e9;
            long images = n1 - n0;
            double perSecond = images / elapsed;
            double ms = images > 0 ? 1000.0 * elapsed / images : Double.POSITIVE_INFINITY;
            System.out.printf("to the Java listener: images/s %.1f ms/image %.3f (%d images in %.1f s)%n",
                    perSecond, ms, images, elapsed);
            System.out.printf("ratio (listener time / exchange time per image): %.2f%n", ms / exchangeMs);
        } finally {
            sim.destroy();
            sim.waitFor(10, TimeUnit.SECONDS);
            log.delete();
        }
    }
}
