package ardivex.tavoro;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import ardivex.scanners.Scanner;
import ardivex.scanners.ScannerMan;
import java.io.File;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * The Tavoro plug-in behind the scanner classes, against the sensor simulator
 * run as a separate process: what the simulator serves must reach the Java
 * listener unchanged, and losing the device service must never take the JVM
 * with it.
 */
class TavoroEndToEndTest {
    static final int WIDTH = 256;
    static final int HEIGHT = 360;
    // Words at configuration offsets 116 and 4, in that order.
    static final String[] SERIALS = {"12AB34CD", "00C0FFEE"};

    private final String simulator = System.getenv("DACTYLINK_TAVORO_SIM");
    private final String pipeDir = System.getenv("DACTYLINK_PIPE_DIR");
    private Process sim;
    private Path dumps;
    private Path simLog;

    @BeforeEach
    void setUp() throws Exception {
        assertTrue(simulator != null && pipeDir != null, "no Tavoro simulator configured for this run");
        Files.createDirectories(Path.of(pipeDir));
        dumps = Files.createTempDirectory("tavoro-dumps");
        startSimulator();
    }

    @AfterEach
    void tearDown() throws Exception {
        if (simulator == null || pipeDir == null) {
            return;
        }
        ScannerMan.uninitialize();
        stopSimulator();
        if (dumps != null) {
            File[] files = dumps.toFile().listFiles();
            if (files != null) {
                for (File f : files) {
                    f.delete();
                }
            }
            dumps.toFile().delete();
        }
        if (simLog != null) {
            Files.deleteIfExists(simLog);
        }
    }

    private void startSimulator() throws Exception {
        // A killed simulator leaves its sockets behind: only its "serving" line
        // tells that the new one listens.
        Path log = dumps.resolveSibling(dumps.getFileName() + ".log");
        Files.deleteIfExists(log);
        List<String> cmd = new ArrayList<>(List.of(simulator, "--sensors=2", "--log", "--until-stdin-closes",
                "--size=" + WIDTH + "x" + HEIGHT, "--fast", "--finger-after=1", "--dump=" + dumps));
        for (int i = 0; i < SERIALS.length; i++) {
            cmd.add("--sensor" + i + "-serial=" + SERIALS[i]);
        }
        sim = new ProcessBuilder(cmd).redirectErrorStream(true).redirectOutput(log.toFile()).start();
        simLog = log;
        long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);
        while (!Files.exists(log) || !Files.readString(log).contains("serving 2 sensor")) {
            assertTrue(sim.isAlive(), "the simulator ended at start");
            assertTrue(System.nanoTime() < end, "the simulator's pipes never appeared");
            Thread.sleep(20);
        }
    }

    private void stopSimulator() throws Exception {
        if (sim != null) {
            sim.destroyForcibly();
            sim.waitFor(20, TimeUnit.SECONDS);
            sim = null;
        }
    }

    // Every image the simulator wrote for a sensor, in the order served.
    private List<byte[]> served(int sensor) throws IOException {
        List<byte[]> out = new ArrayList<>();
        for (int n = 0; ; n++) {
            Path p = dumps.resolve("sensor" + sensor + "-" + n + ".raw");
            if (!Files.exists(p)) {
                return out;
            }
            out.add(Files.readAllBytes(p));
        }
    }

    private static BlockingQueue<Scanner.ScanImage> images(Scanner s) {
        // Bounded: a scanner keeps delivering while the test waits elsewhere.
        BlockingQueue<Scanner.ScanImage> q = new LinkedBlockingQueue<>(8);
        s.addScanListener((sc, e) -> {
            if (e.kind == Scanner.ScanEventKind.ImageScanned && e.image != null) {
                q.offer(e.image);
            }
        });
        return q;
    }

    private void assertWasServed(int sensor, Scanner.ScanImage img) throws IOException {
        assertEquals(WIDTH, img.width);
        assertEquals(HEIGHT, img.height);
        for (byte[] b : served(sensor)) {
            if (Arrays.equals(b, img.buffer)) {
                return;
            }
        }
        fail("sensor " + sensor + " delivered an image the simulator never served");
    }

    // Runs `r` on a thread of its own; a call that does not come back fails the test
    // instead of hanging the run.
    private static void within(long seconds, String what, Runnable r) throws InterruptedException {
        Thread t = new Thread(r, what);
        t.setDaemon(true);
        t.start();
        t.join(TimeUnit.SECONDS.toMillis(seconds));
        assertFalse(t.isAlive(), what + " did not return");
    }

    @Test
    void listsTheSensorsWithTheirSerialWords() {
        assertEquals(2, ScannerMan.getScannerCount());
        List<String> ids = new ArrayList<>();
        for (Scanner s : ScannerMan.getScanners()) {
            ids.add(s.getID());
        }
        for (String serial : SERIALS) {
            assertTrue(ids.contains("Tavoro\\" + serial), "missing " + serial + " in " + ids);
        }
        for (String id : ids) {
            assertTrue(id.matches("Tavoro\\\\[0-9A-F]{8}"), id);
        }
    }

    @Test
    void deliversWhatTheSimulatorServedByteForByte() throws Exception {
        for (int i = 0; i < 2; i++) {
            Scanner s = ScannerMan.getScanner(i);
            assertNotNull(s);
            int sensor = Arrays.asList(SERIALS).indexOf(s.getID().substring(7));
            assertTrue(sensor >= 0, s.getID());
            BlockingQueue<Scanner.ScanImage> q = images(s);
            s.startCapturing();
            try {
                for (int n = 0; n < 3; n++) {
                    Scanner.ScanImage img = q.poll(30, TimeUnit.SECONDS);
                    assertNotNull(img, "no image from " + s.getID());
                    assertWasServed(sensor, img);
                }
            } finally {
                s.stopCapturing();
            }
            assertFalse(s.isCapturing());
        }
        // Different sensors serve different pictures.
        assertFalse(Arrays.equals(served(0).get(0), served(1).get(0)));
    }

    @Test
    void bothSensorsCaptureAtOnce() throws Exception {
        Scanner a = ScannerMan.getScanner(0);
        Scanner b = ScannerMan.getScanner(1);
        BlockingQueue<Scanner.ScanImage> qa = images(a);
        BlockingQueue<Scanner.ScanImage> qb = images(b);
        try (Scanner ca = a; Scanner cb = b) {
            ca.startCapturing();
            assertNotNull(qa.poll(30, TimeUnit.SECONDS));
            // Answered at once while the other sensor captures, not after the
            // busy attempts (about 50 s) of a pipe the capture holds.
            AtomicInteger listed = new AtomicInteger();
            within(20, "a listing while a sensor captures", () -> listed.set(ScannerMan.getScannerCount()));
            assertEquals(2, listed.get(), "readers listed while a sensor captures");
            within(20, "a start while the other sensor captures", cb::startCapturing);
            assertNotNull(qa.poll(30, TimeUnit.SECONDS));
            assertNotNull(qb.poll(30, TimeUnit.SECONDS));
        }
        assertFalse(a.isCapturing());
        assertFalse(b.isCapturing());
    }

    @Test
    void survivesTheServiceDyingDuringCaptureAndWorksOnceItIsBack() throws Exception {
        Scanner s = ScannerMan.getScanner(0);
        int sensor = Arrays.asList(SERIALS).indexOf(s.getID().substring(7));
        BlockingQueue<Scanner.ScanImage> q = images(s);
        s.startCapturing();
        assertNotNull(q.poll(30, TimeUnit.SECONDS));
        stopSimulator();
        Thread.sleep(1500); // the capture thread meets the dead pipe meanwhile
        within(30, "stopCapturing after the service died", s::stopCapturing);
        assertFalse(s.isCapturing());

        // A start while the service is away must not hang or crash either.
        within(30, "startCapturing without the service", s::startCapturing);
        Thread.sleep(500);
        within(30, "stopCapturing without the service", s::stopCapturing);

        File[] old = dumps.toFile().listFiles();
        if (old != null) {
            for (File f : old) {
                f.delete();
            }
        }
        startSimulator();
        q.clear();
        s.startCapturing();
        try {
            Scanner.ScanImage img = q.poll(30, TimeUnit.SECONDS);
            assertNotNull(img, "no image after the service came back");
            assertWasServed(sensor, img);
        } finally {
            within(30, "stopCapturing", s::stopCapturing);
        }
    }

    @Test
    void captureResumesByItselfWhenTheServiceIsBack() throws Exception {
        Scanner s = ScannerMan.getScanner(0);
        int sensor = Arrays.asList(SERIALS).indexOf(s.getID().substring(7));
        BlockingQueue<Scanner.ScanImage> q = images(s);
        s.startCapturing();
        try {
            assertNotNull(q.poll(30, TimeUnit.SECONDS));
            stopSimulator();
            Thread.sleep(2000);
            q.clear();
            startSimulator();
            // No new start: the capture that was running goes on.
            Scanner.ScanImage img = q.poll(10, TimeUnit.SECONDS);
            assertNotNull(img, "capture did not resume within 10 s of the service's return");
            assertWasServed(sensor, img);
            assertTrue(s.isCapturing());
        } finally {
            within(30, "stopCapturing", s::stopCapturing);
        }
    }
}
