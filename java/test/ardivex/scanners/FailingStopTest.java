package ardivex.scanners;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * A reader whose stop fails, behind an FPSmm plug-in ("FPSmmjava", beside the
 * native library in the folder the build prepares for this class only).
 */
class FailingStopTest {
    private static final String READER = "ids=java\\F001\nsizes=16x8\ninterval_ms=3\n";

    private static File plugIn(String suffix) {
        String path = System.getProperty("java.library.path", "");
        File folder = new File(path.split(File.pathSeparator)[0]).getAbsoluteFile();
        return new File(folder, "FPSmmjava" + suffix);
    }

    private static void configure(String text) throws IOException {
        Files.write(plugIn(".cfg").toPath(), text.getBytes(StandardCharsets.UTF_8));
    }

    @BeforeEach
    void setUp() throws IOException {
        String suffix = System.getProperty("os.name").startsWith("Windows") ? ".dll" : ".so";
        assertTrue(plugIn(suffix).isFile(), "the FPSmm fake is not beside the native library");
        configure(READER);
    }

    @AfterEach
    void tearDown() throws IOException {
        configure(READER);
        try {
            ScannerMan.uninitialize();
        } catch (ScanManException e) {
            // a scanner left behind by the failing teardown may fail once more
        }
    }

    @Test
    void uninitializeWaitsForTheListenerOutsideTheLockWhenAStopFails() throws Exception {
        assertEquals(1, ScannerMan.getScannerCount());
        Scanner s = ScannerMan.getScanner(0);
        assertNotNull(s);
        CountDownLatch listening = new CountDownLatch(1);
        AtomicInteger nativeCalls = new AtomicInteger();
        s.addScanListener(new Scanner.ScanListener() {
            private boolean first = true;

            @Override
            public void scanned(Scanner sc, Scanner.ScanEvent e) {
                if (!first) {
                    return;
                }
                first = false;
                listening.countDown();
                // Calls into the library until the teardown has stopped this scanner.
                long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);
                while (System.nanoTime() < end) {
                    ScannerMan.getScannerCount();
                    nativeCalls.incrementAndGet();
                    if (!sc.isCapturing()) {
                        return;
                    }
                }
            }
        });
        s.startCapturing();
        assertTrue(listening.await(20, TimeUnit.SECONDS));
        configure(READER + "stop_fails=1\n");
        AtomicReference<Throwable> thrown = new AtomicReference<>();
        Thread teardown = new Thread(() -> {
            try {
                ScannerMan.uninitialize();
            } catch (Throwable t) {
                thrown.set(t);
            }
        });
        teardown.start();
        teardown.join(30_000);
        assertFalse(teardown.isAlive(), "uninitialize and the listener calling the library wait for each other");
        assertTrue(thrown.get() instanceof ScanManException, "the failing stop is reported: " + thrown.get());
        assertTrue(nativeCalls.get() > 0);
        assertFalse(s.isCapturing());
    }

    @Test
    void aFailingStopStillWaitsForItsListener() throws Exception {
        Scanner s = ScannerMan.getScanner(0);
        AtomicInteger inside = new AtomicInteger();
        AtomicInteger calls = new AtomicInteger();
        s.addScanListener((sc, e) -> {
            inside.incrementAndGet();
            calls.incrementAndGet();
            try {
                Thread.sleep(100);
            } catch (InterruptedException ex) {
                Thread.currentThread().interrupt();
            }
            inside.decrementAndGet();
        });
        s.startCapturing();
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);
        while (calls.get() == 0 && System.nanoTime() < deadline) {
            Thread.sleep(2);
        }
        assertTrue(calls.get() > 0);
        configure(READER + "stop_fails=1\n");
        assertThrows(ScanManException.class, s::stopCapturing);
        assertEquals(0, inside.get(), "the stop returned while its listener still ran");
        assertFalse(s.isCapturing());
    }
}
