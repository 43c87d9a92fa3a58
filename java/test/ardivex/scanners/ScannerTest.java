package ardivex.scanners;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNotSame;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.BufferedReader;
import java.io.File;
import java.io.InputStreamReader;
import java.lang.management.ManagementFactory;
import java.lang.ref.WeakReference;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;
import java.util.function.BooleanSupplier;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;

class ScannerTest {
    @BeforeEach
    void setUp() {
        assertTrue(FakeReaders.present(), "the fake reader plug-in is not beside the native library");
        FakeReaders.configure(FakeReaders.DEFAULT);
    }

    @AfterEach
    void tearDown() {
        if (FakeReaders.present()) {
            ScannerMan.uninitialize();
            FakeReaders.configure(FakeReaders.DEFAULT);
        }
    }

    private static boolean await(BooleanSupplier cond) throws InterruptedException {
        long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);
        while (!cond.getAsBoolean()) {
            if (System.nanoTime() > end) {
                return false;
            }
            Thread.sleep(2);
        }
        return true;
    }

    @Test
    void countsAndHandles() {
        assertEquals(2, ScannerMan.getScannerCount());
        long h = ScannerMan.innerGetScanner(0);
        assertNotEquals(0, h);
        assertEquals(h, ScannerMan.innerGetScanner(0));
        assertNotEquals(h, ScannerMan.innerGetScanner(1));
        assertEquals(0, ScannerMan.innerGetScanner(2));
        assertEquals(0, ScannerMan.innerGetScanner(-1));
        assertEquals(0, ScannerMan.innerGetScanner(Integer.MIN_VALUE));
        assertNull(ScannerMan.getScanner(5));
        assertSame(ScannerMan.getScanner(0), ScannerMan.getScanner(0));
        assertEquals(2, ScannerMan.getScanners().size());
        ScannerMan.uninitialize();
        assertNotEquals(h, ScannerMan.innerGetScanner(0));
    }

    @Test
    void idAndCapturingState() {
        Scanner s = ScannerMan.getScanner(1);
        assertEquals("H3Fake\\J002", s.getID());
        assertFalse(s.isCapturing());
        s.stopCapturing(); // never started: fine
        s.startCapturing();
        assertTrue(s.isCapturing());
        s.startCapturing(); // a second start changes nothing
        assertTrue(s.isCapturing());
        s.stopCapturing();
        assertFalse(s.isCapturing());
    }

    @Test
    void eventsCarryTheWholeImageTopRowFirst() throws Exception {
        Scanner s = ScannerMan.getScanner(0);
        BlockingQueue<Scanner.ScanEvent> events = new LinkedBlockingQueue<>();
        s.addScanListener((sc, e) -> events.add(e));
        try (Scanner c = s) {
            c.startCapturing();
            int last = 0;
            for (int n = 0; n < 3; n++) {
                Scanner.ScanEvent e = events.poll(20, TimeUnit.SECONDS);
                assertNotNull(e);
                assertEquals(Scanner.ScanEventKind.ImageScanned, e.kind);
                assertEquals(FakeReaders.WIDTH, e.image.width);
                assertEquals(FakeReaders.HEIGHT, e.image.height);
                assertEquals(FakeReaders.WIDTH * FakeReaders.HEIGHT, e.image.buffer.length);
                for (int y = 0; y < FakeReaders.HEIGHT - 1; y++) {
                    for (int x = 0; x < FakeReaders.WIDTH; x++) {
                        assertEquals((y * FakeReaders.WIDTH + x) & 0xff, e.image.pixel(x, y));
                    }
                }
                int f = FakeReaders.frame(e.image);
                assertTrue(f > last, "frames must only move forward");
                last = f;
            }
        }
        assertFalse(s.isCapturing());
    }

    @Test
    void aSlowListenerGetsTheNewestImageOfWhatPiledUp() throws Exception {
        Scanner s = ScannerMan.getScanner(0);
        List<Integer> frames = Collections.synchronizedList(new ArrayList<>());
        s.addScanListener((sc, e) -> {
            frames.add(FakeReaders.frame(e.image));
            try {
                Thread.sleep(60);
            } catch (InterruptedException ex) {
                Thread.currentThread().interrupt();
            }
        });
        s.startCapturing();
        assertTrue(await(() -> frames.size() >= 5));
        s.stopCapturing();
        List<Integer> seen;
        synchronized (frames) {
            seen = new ArrayList<>(frames);
        }
        boolean merged = false;
        for (int i = 1; i < seen.size(); i++) {
            assertTrue(seen.get(i) > seen.get(i - 1));
            merged |= seen.get(i) > seen.get(i - 1) + 1;
        }
        assertTrue(merged, "captures made during a slow delivery must be merged: " + seen);
    }

    @Test
    void aFailingStartSurfacesTheReaderMessage() {
        Scanner s = ScannerMan.getScanner(0);
        FakeReaders.configure("readers=J002\n"); // the first reader went away
        ScanManException e = assertThrows(ScanManException.class, s::startCapturing);
        assertEquals("Leitor não conectado: H3Fake\\J001\nTotal de leitores conectados: 1", e.getMessage());
        assertFalse(s.isCapturing());
        FakeReaders.configure(FakeReaders.DEFAULT);
        s.startCapturing(); // nothing was left claimed
        assertTrue(s.isCapturing());
        s.stopCapturing();
    }

    @Test
    void twoThreadsAskingForTheSameIndexGetTheSameHandle() throws Exception {
        for (int round = 0; round < 20; round++) {
            ScannerMan.uninitialize();
            CountDownLatch go = new CountDownLatch(1);
            long[] handles = new long[2];
            Thread[] threads = new Thread[2];
            for (int t = 0; t < 2; t++) {
                int k = t;
                threads[t] = new Thread(() -> {
                    try {
                        go.await();
                    } catch (InterruptedException e) {
                        return;
                    }
                    handles[k] = ScannerMan.innerGetScanner(0);
                });
                threads[t].start();
            }
            go.countDown();
            for (Thread t : threads) {
                t.join();
            }
            assertNotEquals(0, handles[0]);
            assertEquals(handles[0], handles[1]);
        }
    }

    private static String probe() throws Exception {
        String build = System.getProperty("dactylink.build");
        assertNotNull(build, "the build folder is not known (-Ddactylink.build)");
        String cp = build + "/java/dactylink.jar" + File.pathSeparator + build + "/java/test-classes";
        String java = System.getProperty("java.home") + "/bin/java";
        Process p = new ProcessBuilder(java, "-Djava.library.path=" + FakeReaders.libraryFolder(), "-cp", cp,
                ClaimProbe.class.getName()).redirectErrorStream(true).start();
        String result = null;
        try (BufferedReader r = new BufferedReader(new InputStreamReader(p.getInputStream(), StandardCharsets.UTF_8))) {
            for (String line; (line = r.readLine()) != null;) {
                if (line.startsWith("PROBE:")) {
                    result = line.substring(6);
                }
            }
        }
        assertTrue(p.waitFor(60, TimeUnit.SECONDS));
        return result;
    }

    @Test
    void anotherProcessIsRefusedTheReaderUntilItIsStopped() throws Exception {
        Scanner s = ScannerMan.getScanner(0);
        s.startCapturing();
        try {
            assertEquals("O leitor H3Fake\\J001 já está sendo usado por outra aplicação.", probe());
        } finally {
            s.stopCapturing();
        }
        assertEquals("ok", probe());
    }

    @Test
    void aListenerMayStopItsOwnScanner() throws Exception {
        Scanner s = ScannerMan.getScanner(0);
        AtomicInteger calls = new AtomicInteger();
        AtomicReference<Throwable> failure = new AtomicReference<>();
        Scanner.ScanListener stopper = (sc, e) -> {
            calls.incrementAndGet();
            try {
                sc.stopCapturing();
                assertFalse(sc.isCapturing());
                assertEquals(2, ScannerMan.getScannerCount()); // any native works from here
            } catch (Throwable t) {
                failure.set(t);
            }
        };
        s.addScanListener(stopper);
        s.startCapturing();
        assertTrue(await(() -> calls.get() >= 1 && !s.isCapturing()));
        assertNull(failure.get());
        Thread.sleep(50);
        assertEquals(1, calls.get(), "no event after the listener stopped its scanner");
        s.removeScanListener(stopper);

        // The scanner works normally afterwards.
        AtomicInteger more = new AtomicInteger();
        s.addScanListener((sc, e) -> more.incrementAndGet());
        s.startCapturing();
        assertTrue(await(() -> more.get() >= 2));
        s.stopCapturing();
    }

    @Test
    void aThrowingListenerDoesNotEndDelivery() throws Exception {
        Scanner s = ScannerMan.getScanner(0);
        AtomicInteger calls = new AtomicInteger();
        s.addScanListener((sc, e) -> {
            calls.incrementAndGet();
            throw new IllegalStateException("listener failure (expected by the test)");
        });
        s.startCapturing();
        assertTrue(await(() -> calls.get() >= 3));
        s.stopCapturing();
    }

    @Test
    void aNullListenerIsRefusedAtTheCall() throws Exception {
        Scanner s = ScannerMan.getScanner(0);
        NullPointerException e = assertThrows(NullPointerException.class, () -> s.addScanListener(null));
        assertEquals("the scan listener is null", e.getMessage());
        s.removeScanListener(null); // nothing to remove
        // Nothing null went in: every event reaches the listener without a failure.
        AtomicInteger calls = new AtomicInteger();
        s.addScanListener((sc, ev) -> calls.incrementAndGet());
        s.startCapturing();
        assertTrue(await(() -> calls.get() >= 3));
        s.stopCapturing();
    }

    @Test
    void staleAndUnknownHandlesAreRefusedInWords() {
        ScanManException e = assertThrows(ScanManException.class, () -> new Scanner(0x1234L));
        assertEquals("No scanner has the handle 4660; scanners come from ScannerMan", e.getMessage());
        Scanner s = ScannerMan.getScanner(0);
        List<Executable> bogus = List.of(() -> s.innerStartCapturing(0x1234L), () -> s.innerStopCapturing(0x1234L),
                () -> s.innerIsCapturing(0x1234L), () -> s.innerGetID(0x1234L));
        for (Executable call : bogus) {
            assertEquals("No scanner has the handle 4660; scanners come from ScannerMan",
                    assertThrows(ScanManException.class, call).getMessage());
        }
        s.startCapturing();
        ScannerMan.uninitialize(); // stops it too
        List<Executable> released = List.of(s::startCapturing, s::stopCapturing, s::isCapturing, s::getID);
        for (Executable call : released) {
            assertEquals("The scanner of H3Fake\\J001 was released by ScannerMan.uninitialize(); ask ScannerMan "
                    + "for the reader's scanner again", assertThrows(ScanManException.class, call).getMessage());
        }
        assertEquals("Scanner[H3Fake\\J001]", s.toString());
        Scanner again = ScannerMan.getScanner(0);
        assertNotSame(s, again);
        assertEquals("H3Fake\\J001", again.getID());
    }

    @Test
    void toStringAndTheEventThreadsNameTheReader() throws Exception {
        Scanner s = ScannerMan.getScanner(1);
        assertEquals("Scanner[H3Fake\\J002]", s.toString());
        BlockingQueue<String> names = new LinkedBlockingQueue<>();
        s.addScanListener((sc, e) -> names.add(Thread.currentThread().getName() + " " + sc));
        for (int run = 0; run < 2; run++) { // each capture has a thread of its own
            s.startCapturing();
            String first = names.poll(20, TimeUnit.SECONDS);
            s.stopCapturing();
            assertEquals("dactylink scanner H3Fake\\J002 Scanner[H3Fake\\J002]", first);
            names.clear();
        }
    }

    /** A Scanner whose kind class has no ImageScanned constant: delivery cannot build an event. */
    static class KindlessScanner extends Scanner {
        final AtomicInteger fired = new AtomicInteger();

        KindlessScanner(long handle) {
            super(handle);
        }

        public static Class<?> getEventKindClass() {
            return Thread.State.class;
        }

        @Override
        protected void fireEvent(ScanEvent event) {
            fired.incrementAndGet();
        }
    }

    @Test
    void aDeliveryThatCannotBuildItsEventEndsQuietlyAndTheScannerStaysCapturing() throws Exception {
        KindlessScanner s = new KindlessScanner(ScannerMan.innerGetScanner(0));
        s.startCapturing();
        Thread.sleep(200); // images arrive; none can be delivered
        assertEquals(0, s.fired.get());
        assertTrue(s.isCapturing());
        s.stopCapturing();
        assertFalse(s.isCapturing());
        // The reader was released and the handle still works with a proper Scanner.
        Scanner ok = ScannerMan.getScanner(0);
        AtomicInteger events = new AtomicInteger();
        ok.addScanListener((sc, e) -> events.incrementAndGet());
        ok.startCapturing();
        assertTrue(await(() -> events.get() >= 1));
        ok.stopCapturing();
    }

    private static long nativeMemoryKb() throws Exception {
        for (String line : java.nio.file.Files.readAllLines(java.nio.file.Paths.get("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) {
                return Long.parseLong(line.replaceAll("[^0-9]", ""));
            }
        }
        return 0;
    }

    @Test
    void thousandStartStopCyclesLeaveNothingBehind() throws Exception {
        var threadsBean = ManagementFactory.getThreadMXBean();
        Scanner s = ScannerMan.getScanner(0);
        AtomicInteger events = new AtomicInteger();
        s.addScanListener((sc, e) -> events.incrementAndGet());
        // Warm up, then measure.
        for (int i = 0; i < 50; i++) {
            s.startCapturing();
            s.stopCapturing();
        }
        System.gc();
        int threadsBefore = threadsBean.getThreadCount();
        long memBefore = nativeMemoryKb();
        for (int i = 0; i < 1000; i++) {
            s.startCapturing();
            if (i % 100 == 0) {
                int n = events.get();
                assertTrue(await(() -> events.get() > n), "capture must deliver during the cycles");
            }
            s.stopCapturing();
        }
        assertTrue(await(() -> threadsBean.getThreadCount() <= threadsBefore), "threads left behind");
        System.gc();
        long growth = nativeMemoryKb() - memBefore;
        assertTrue(growth < 32 * 1024, "memory grew by " + growth + " kB");

        // No global reference to the Scanner survives its captures.
        WeakReference<Scanner> ref = new WeakReference<>(s);
        s = null;
        ScannerMan.uninitialize();
        assertTrue(await(() -> {
            System.gc();
            return ref.get() == null;
        }), "the Scanner object is still referenced from native code");
    }

    @Test
    void aScannerDroppedByItsCallerKeepsItsListenersUntilUninitialize() throws Exception {
        BlockingQueue<Scanner.ScanEvent> events = new LinkedBlockingQueue<>();
        ScannerMan.getScanner(0).addScanListener((sc, e) -> events.add(e));
        // Nothing but ScannerMan refers to the Scanner now: collect until a
        // garbage collection is known to have run.
        WeakReference<Object> sentinel = new WeakReference<>(new Object());
        for (int i = 0; i < 200 && sentinel.get() != null; i++) {
            System.gc();
            Thread.sleep(5);
        }
        assertNull(sentinel.get(), "no garbage collection ran");
        Scanner s = ScannerMan.getScanner(0);
        s.startCapturing();
        try {
            assertNotNull(events.poll(20, TimeUnit.SECONDS), "the listener was lost with the dropped Scanner");
        } finally {
            s.stopCapturing();
        }
    }

    /** Counts the listeners running at once. */
    static final class Overlap {
        final AtomicInteger inside = new AtomicInteger();
        final AtomicInteger most = new AtomicInteger();
        final AtomicInteger calls = new AtomicInteger();

        int enter() {
            most.accumulateAndGet(inside.incrementAndGet(), Math::max);
            return calls.incrementAndGet();
        }

        void leave() {
            inside.decrementAndGet();
        }
    }

    private static void pause(long ms) {
        try {
            Thread.sleep(ms);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    @Test
    void aStartWaitsForTheListenerOfTheCaptureStoppedOnAnotherThread() throws Exception {
        Scanner s = ScannerMan.getScanner(0);
        Overlap o = new Overlap();
        s.addScanListener((sc, e) -> {
            o.enter();
            pause(150);
            o.leave();
        });
        for (int round = 0; round < 3; round++) {
            s.startCapturing();
            int before = o.calls.get();
            assertTrue(await(() -> o.calls.get() > before)); // a listener is inside its pause
            Thread stopper = new Thread(s::stopCapturing);
            stopper.start();
            assertTrue(await(() -> !s.isCapturing()));
            s.startCapturing(); // while the stopper still waits for that listener
            int after = o.calls.get();
            assertTrue(await(() -> o.calls.get() > after), "the new capture delivers");
            s.stopCapturing();
            stopper.join(20_000);
            assertFalse(stopper.isAlive());
        }
        assertEquals(1, o.most.get(), "two listeners of one scanner ran at once");
    }

    @Test
    void aListenerThatRestartsItsOwnScannerKeepsReceivingAlone() throws Exception {
        Scanner s = ScannerMan.getScanner(0);
        Overlap o = new Overlap();
        AtomicReference<Throwable> failure = new AtomicReference<>();
        s.addScanListener((sc, e) -> {
            try {
                if (o.enter() <= 3) {
                    sc.stopCapturing();
                    sc.startCapturing();
                    assertTrue(sc.isCapturing());
                }
                pause(40); // the restarted capture must not deliver meanwhile
            } catch (Throwable t) {
                failure.set(t);
            } finally {
                o.leave();
            }
        });
        s.startCapturing();
        assertTrue(await(() -> o.calls.get() >= 8));
        s.stopCapturing();
        assertNull(failure.get());
        assertEquals(1, o.most.get(), "two listeners of one scanner ran at once");
    }

    @Test
    void listenersStoppingEachOthersScannerDoNotWaitForEver() throws Exception {
        Scanner a = ScannerMan.getScanner(0);
        Scanner b = ScannerMan.getScanner(1);
        CyclicBarrier both = new CyclicBarrier(2);
        List<Throwable> refused = Collections.synchronizedList(new ArrayList<>());
        AtomicReference<Throwable> other = new AtomicReference<>();
        AtomicInteger finished = new AtomicInteger();
        for (Scanner[] pair : new Scanner[][] {{a, b}, {b, a}}) {
            AtomicBoolean first = new AtomicBoolean(true);
            pair[0].addScanListener((sc, e) -> {
                if (!first.getAndSet(false)) {
                    return;
                }
                try {
                    both.await(20, TimeUnit.SECONDS);
                    pair[1].stopCapturing();
                } catch (ScanManException ex) {
                    refused.add(ex);
                } catch (Throwable t) {
                    other.set(t);
                } finally {
                    finished.incrementAndGet();
                }
            });
        }
        a.startCapturing();
        b.startCapturing();
        assertTrue(await(() -> finished.get() == 2), "the two stops wait for each other");
        assertNull(other.get());
        assertEquals(1, refused.size(), "exactly one of the stops is refused: " + refused);
        assertTrue(refused.get(0).getMessage().contains("would never end"), refused.get(0).getMessage());
        assertFalse(a.isCapturing());
        assertFalse(b.isCapturing());
    }

    /** An event class with the expected members that is no ScanEvent. */
    public static class ForeignEvent {
        public Scanner.ScanEventKind kind;
        public Scanner.ScanImage image;

        public ForeignEvent() {
        }
    }

    /** A ScanEvent subclass: accepted. */
    public static class RichEvent extends Scanner.ScanEvent {
        public RichEvent() {
        }
    }

    static class ForeignEventScanner extends Scanner {
        ForeignEventScanner(long handle) {
            super(handle);
        }

        public static Class<?> getEventClass() {
            return ForeignEvent.class;
        }
    }

    static class RichEventScanner extends Scanner {
        final BlockingQueue<ScanEvent> events = new LinkedBlockingQueue<>();

        RichEventScanner(long handle) {
            super(handle);
        }

        public static Class<?> getEventClass() {
            return RichEvent.class;
        }

        @Override
        protected void fireEvent(ScanEvent event) {
            events.add(event);
        }
    }

    /** Its getEventClass throws whatever the test puts here. */
    static class ThrowingScanner extends Scanner {
        static volatile Throwable thrown; // a RuntimeException or an Error

        ThrowingScanner(long handle) {
            super(handle);
        }

        public static Class<?> getEventClass() {
            if (thrown instanceof Error) {
                throw (Error) thrown;
            }
            throw (RuntimeException) thrown;
        }
    }

    @Test
    void theEventClassIsCheckedAtStart() throws Exception {
        long h = ScannerMan.innerGetScanner(0);
        Scanner foreign = new ForeignEventScanner(h);
        ScanManException e = assertThrows(ScanManException.class, foreign::startCapturing);
        assertEquals("The event class ardivex.scanners.ScannerTest$ForeignEvent is not "
                + "ardivex.scanners.Scanner$ScanEvent or a subclass of it", e.getMessage());
        assertFalse(foreign.isCapturing());

        // Java failures inside the start keep their cause; an Error passes unchanged.
        ThrowingScanner throwing = new ThrowingScanner(h);
        IllegalStateException refusal = new IllegalStateException("no event class today");
        ThrowingScanner.thrown = refusal;
        e = assertThrows(ScanManException.class, throwing::startCapturing);
        assertEquals("Method 'getEventClass' returned no class", e.getMessage());
        assertSame(refusal, e.getCause());
        OutOfMemoryError oom = new OutOfMemoryError("simulated");
        ThrowingScanner.thrown = oom;
        assertSame(oom, assertThrows(OutOfMemoryError.class, throwing::startCapturing));
        assertFalse(throwing.isCapturing());

        // Nothing was left claimed, and a subclass of ScanEvent is delivered.
        RichEventScanner rich = new RichEventScanner(h);
        rich.startCapturing();
        try {
            assertTrue(rich.events.poll(20, TimeUnit.SECONDS) instanceof RichEvent);
        } finally {
            rich.stopCapturing();
        }
    }
}
