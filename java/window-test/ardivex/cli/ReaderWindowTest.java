package ardivex.cli;

import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import ardivex.matching.FingerprintBase;
import ardivex.scanners.ScannerMan;
import ardivex.tavoro.Simulated;
import java.awt.AWTEvent;
import java.awt.EventQueue;
import java.awt.Rectangle;
import java.awt.Robot;
import java.awt.Toolkit;
import java.awt.event.KeyEvent;
import java.io.File;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.function.Supplier;
import javax.imageio.ImageIO;
import javax.swing.JList;
import javax.swing.SwingUtilities;
import org.junit.jupiter.api.Test;

/**
 * The window against the simulator, driven by the keyboard alone: a finger
 * enrolled under a code with Alt+C, Alt+E, then identified with Alt+I. Every
 * event the event dispatch thread handles meanwhile must take less than
 * 100 ms; screenshots go to the folder given by -Dwindow.shots.
 */
class ReaderWindowTest {
    private static final long LIMIT_NANOS = TimeUnit.MILLISECONDS.toNanos(100);
    private static final long SAMPLE_CAP_NANOS = TimeUnit.MILLISECONDS.toNanos(20);

    // Times every event dispatched on the EDT by what the EDT itself spent
    // on it: its CPU time plus the time it was seen waiting (a sampler looks
    // at it every few milliseconds). Wall time alone would also count the
    // time the EDT sat runnable while other processes had the cores, which
    // says nothing about the window. For the same reason a wait for the
    // toolkit's own threads (the X event thread holding the toolkit lock
    // while a loaded machine has descheduled it) is not counted; a sleep, a
    // wait for a future or for a lock of the window's own threads is.
    private static final class TimedQueue extends EventQueue {
        private final java.lang.management.ThreadMXBean threads =
                java.lang.management.ManagementFactory.getThreadMXBean();
        volatile long longest;
        volatile String longestEvent = "";
        private volatile Thread edt;
        private volatile boolean inEvent;
        private volatile long waitedNanos;
        private final Thread sampler = new Thread(this::sample, "EDT sampler");

        TimedQueue() {
            sampler.setDaemon(true);
            sampler.start();
        }

        private static boolean toolkitThread(String name) {
            return name != null && (name.startsWith("AWT-") || name.startsWith("Java2D"));
        }

        private void sample() {
            long last = System.nanoTime();
            boolean wasWaiting = false;
            while (true) {
                try {
                    Thread.sleep(2);
                } catch (InterruptedException e) {
                    return;
                }
                long now = System.nanoTime();
                Thread t = edt;
                boolean waiting = false;
                if (inEvent && t != null) {
                    java.lang.management.ThreadInfo info = threads.getThreadInfo(t.getId());
                    waiting = info != null && info.getThreadState() != Thread.State.RUNNABLE
                            && !toolkitThread(info.getLockOwnerName());
                }
                // Only the stretch between two samples that both saw it waiting,
                // and at most 20 ms of it: a pause of the whole JVM (a collection)
                // or of the sampler between them is not the EDT's.
                if (waiting && wasWaiting) {
                    waitedNanos += Math.min(now - last, SAMPLE_CAP_NANOS);
                }
                wasWaiting = waiting;
                last = now;
            }
        }

        @Override
        protected void dispatchEvent(AWTEvent event) {
            edt = Thread.currentThread();
            waitedNanos = 0;
            long cpu = threads.getCurrentThreadCpuTime();
            inEvent = true;
            try {
                super.dispatchEvent(event);
            } finally {
                inEvent = false;
            }
            long d = threads.getCurrentThreadCpuTime() - cpu + waitedNanos;
            if (d > longest) {
                longest = d;
                longestEvent = event.toString();
            }
        }
    }

    private static <T> T onEdt(Supplier<T> s) throws Exception {
        Object[] out = new Object[1];
        SwingUtilities.invokeAndWait(() -> out[0] = s.get());
        @SuppressWarnings("unchecked")
        T t = (T) out[0];
        return t;
    }

    private static void await(long seconds, String what, Supplier<Boolean> done) throws Exception {
        long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(seconds);
        while (!onEdt(done)) {
            if (System.nanoTime() > end) {
                fail("timed out waiting for " + what);
            }
            Thread.sleep(50);
        }
    }

    private static void keys(Robot r, int... codes) {
        for (int c : codes) {
            r.keyPress(c);
        }
        for (int i = codes.length - 1; i >= 0; i--) {
            r.keyRelease(codes[i]);
        }
        r.delay(80);
    }

    private static void type(Robot r, String text) {
        for (char ch : text.toCharArray()) {
            keys(r, KeyEvent.getExtendedKeyCodeForChar(ch));
        }
    }

    private static List<String> lines(JList<String> list) {
        List<String> out = new ArrayList<>();
        for (int i = 0; i < list.getModel().getSize(); i++) {
            out.add(list.getModel().getElementAt(i));
        }
        return out;
    }

    private static void shot(Robot r, ReaderWindow w, String name) throws Exception {
        Path dir = Path.of(System.getProperty("window.shots", "."));
        Files.createDirectories(dir);
        Rectangle b = onEdt(() -> w.frame.getBounds());
        // The variant of the screen's own pixels: at 1.5 scaling, 1.5 times the window's size.
        List<java.awt.Image> variants = r.createMultiResolutionScreenCapture(b).getResolutionVariants();
        java.awt.Image largest = variants.get(variants.size() - 1);
        java.awt.image.BufferedImage out = new java.awt.image.BufferedImage(largest.getWidth(null),
                largest.getHeight(null), java.awt.image.BufferedImage.TYPE_INT_RGB);
        out.getGraphics().drawImage(largest, 0, 0, null);
        ImageIO.write(out, "png", new File(dir.toFile(), name));
    }

    @Test
    void enrollsAndIdentifiesByKeyboardWithoutBlockingTheEdt() throws Exception {
        String scale = System.getProperty("sun.java2d.uiScale", "1");
        TimedQueue timed = new TimedQueue();
        Toolkit.getDefaultToolkit().getSystemEventQueue().push(timed);
        try (Simulated sim = new Simulated(1, "--fingers=1", "--touches=100", "--seed=3");
             FingerprintBase base = FingerprintBase.inMemory()) {
            // X11 scales by whole numbers only: at 1.5 the text is scaled instead.
            boolean fractional = !scale.equals("1") && java.awt.GraphicsEnvironment.getLocalGraphicsEnvironment()
                    .getDefaultScreenDevice().getDefaultConfiguration().getDefaultTransform().getScaleX() == 1;
            ReaderWindow w = onEdt(() -> {
                if (fractional) {
                    ReaderWindow.scaleFonts(Float.parseFloat(scale));
                }
                ReaderWindow rw = new ReaderWindow(base, "in memory");
                rw.show();
                return rw;
            });
            JList<String> results = w.resultList;
            Robot robot = new Robot();
            robot.setAutoDelay(20);
            await(30, "the reader listed and chosen", () -> w.frame.isFocused()
                    && w.frame.getTitle().equals(ReaderWindow.TITLE) && w.current != null);
            timed.longest = 0; // from here on: building the window is behind
            Thread.sleep(1500); // the live image of a touch or two
            keys(robot, KeyEvent.VK_ALT, KeyEvent.VK_C);
            type(robot, "alice");
            keys(robot, KeyEvent.VK_ALT, KeyEvent.VK_E);
            await(90, "the enrollment", () -> lines(results).stream().anyMatch(l -> l.startsWith("Enrolled alice")
                    || l.startsWith("Not enrolled")));
            assertTrue(lines(results).get(0).startsWith("Enrolled alice"), lines(results).toString());
            shot(robot, w, "window-enrolled-" + scale + ".png");
            keys(robot, KeyEvent.VK_ALT, KeyEvent.VK_I);
            await(60, "the identification", () -> lines(results).stream().anyMatch(l -> l.startsWith("Identified")
                    || l.startsWith("Not")));
            List<String> found = onEdt(() -> lines(results));
            assertTrue(found.get(0).startsWith("Identified: alice"), found.toString());
            assertTrue(found.stream().anyMatch(l -> l.startsWith("alice, finger 1: score")), found.toString());
            shot(robot, w, "window-identified-" + scale + ".png");
            SwingUtilities.invokeAndWait(() -> w.frame.dispose());
        } finally {
            ScannerMan.uninitialize();
        }
        System.out.println("longest event on the EDT: " + timed.longest / 1_000_000 + " ms by " + timed.longestEvent);
        assertTrue(timed.longest < LIMIT_NANOS, "the event dispatch thread was busy or waiting for "
                + timed.longest / 1_000_000 + " ms by " + timed.longestEvent);
    }
}
