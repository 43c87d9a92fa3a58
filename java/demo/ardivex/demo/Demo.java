package ardivex.demo;

import ardivex.fingers.NFExtractor;
import ardivex.fingers.NFMinutiaFormat;
import ardivex.fingers.NFTemplateSize;
import ardivex.images.NImage;
import ardivex.scanners.Scanner;
import ardivex.scanners.ScannerMan;
import ardivex.templates.NFCore;
import ardivex.templates.NFDelta;
import ardivex.templates.NFDoubleCore;
import ardivex.templates.NFMinutia;
import ardivex.templates.NFMinutiaType;
import ardivex.templates.NFRecord;

import java.awt.BasicStroke;
import java.awt.Color;
import java.awt.Graphics2D;
import java.awt.RenderingHints;
import java.awt.image.BufferedImage;
import java.io.ByteArrayOutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import javax.imageio.ImageIO;

/**
 * A short tour of the toolkit. Usage:
 * {@code Demo [--captures=N] [--timeout=SECONDS] [--reader=INDEX] [image.bmp]}.
 *
 * <p>Each section is a method of its own; the output folder is
 * "build/demo-output" (or the system property {@code dactylink.demo.out}).
 * The scanner section captures a few images from a reader, saves them as BMP,
 * extracts their templates and draws the minutiae over each image in a PNG.
 */
public final class Demo {

    private Demo() {
    }

    public static void main(String[] args) throws Exception {
        int captures = 3;
        int timeout = 20;
        int reader = 0;
        Path input = null;
        for (String a : args) {
            if (a.startsWith("--captures=")) {
                captures = positive(a);
            } else if (a.startsWith("--timeout=")) {
                timeout = positive(a);
            } else if (a.startsWith("--reader=")) {
                reader = Integer.parseInt(a.substring(a.indexOf('=') + 1));
            } else if (a.startsWith("--")) {
                System.err.println("Usage: Demo [--captures=N] [--timeout=SECONDS] [--reader=INDEX] [image.bmp]");
                System.exit(2);
            } else {
                input = Paths.get(a);
            }
        }
        Path out = Paths.get(System.getProperty("dactylink.demo.out", "build/demo-output")).toAbsolutePath();
        Files.createDirectories(out);

        NImage image;
        boolean ok;
        try {
            image = images(input, out);
            templates();
            // A reader or plug-in that stops answering must not keep the demo
            // waiting for ever: give up well after every image could have come.
            watchdog((long) (captures + 3) * timeout);
            ok = scanners(out, reader, captures, timeout);
        } catch (UnsatisfiedLinkError e) {
            System.err.println("The native library could not be loaded (" + e.getMessage() + ").");
            System.err.println("java.library.path=" + System.getProperty("java.library.path")
                    + " must name the folder of libdactylink.so (dactylink.dll); scripts/demo.sh sets it.");
            System.exit(1);
            return;
        }
        System.out.println();
        System.out.println("Demo finished (image " + image.getWidth() + " x " + image.getHeight() + "); output in "
                + out);
        if (!ok) {
            System.exit(1);
        }
    }

    private static void watchdog(long seconds) {
        Thread t = new Thread(() -> {
            try {
                Thread.sleep(TimeUnit.SECONDS.toMillis(seconds));
            } catch (InterruptedException e) {
                return;
            }
            System.err.println();
            System.err.println("The demo did not finish within " + seconds + " s; giving up.");
            Runtime.getRuntime().halt(1);
        }, "demo-watchdog");
        t.setDaemon(true);
        t.start();
    }

    private static int positive(String option) {
        int v = Integer.parseInt(option.substring(option.indexOf('=') + 1));
        if (v <= 0) {
            throw new IllegalArgumentException(option + ": must be positive");
        }
        return v;
    }

    /** A captured image, copied out of the event (the library may reuse its buffer). */
    private record Capture(int width, int height, byte[] pixels) {
    }

    /**
     * Lists the readers, captures from one of them and, for each image, saves
     * the BMP, extracts its template and writes an overlay PNG. Returns false
     * when the capture did not deliver what was asked.
     */
    static boolean scanners(Path out, int index, int captures, int timeoutSeconds) throws Exception {
        System.out.println();
        System.out.println("== Scanners ==");
        List<Scanner> all = ScannerMan.getScanners();
        System.out.println(all.size() + " reader(s):");
        for (int i = 0; i < all.size(); i++) {
            System.out.println("  [" + i + "] " + all.get(i).getID());
        }
        if (all.isEmpty()) {
            System.out.println("No reader found. Is the sensor simulator (tavoro-sim) running, and is"
                    + " omr_tavoro_64 beside the native library? scripts/demo.sh starts both.");
            return false;
        }
        if (index < 0 || index >= all.size()) {
            System.out.println("There is no reader " + index + ".");
            return false;
        }
        NFExtractor extractor = null;
        try {
            extractor = new NFExtractor();
        } catch (Exception e) {
            System.out.println("The extraction engine is not available (" + e.getMessage()
                    + "); images are saved without templates.");
        }
        List<Capture> images = capture(all.get(index), captures, timeoutSeconds);
        for (int i = 0; i < images.size(); i++) {
            Capture c = images.get(i);
            NImage image = new NImage(c.width(), c.height(), c.pixels());
            String base = "capture-" + (i + 1);
            Path bmp = out.resolve(base + ".bmp");
            image.write(bmp);
            System.out.println("Image " + (i + 1) + ": " + c.width() + " x " + c.height() + ", saved as " + bmp);
            if (extractor == null) {
                continue;
            }
            NFRecord record = extractor.extract(image, NFMinutiaFormat.EXTENDED, NFTemplateSize.FULL);
            Path nfr = out.resolve(base + ".nfr");
            Files.write(nfr, record.getData());
            Path png = out.resolve(base + "-overlay.png");
            int[] counts = overlay(image, record, png);
            System.out.println("  " + counts[0] + " minutiae (" + counts[1] + " ridge endings, " + counts[2]
                    + " bifurcations), " + record.getCores().size() + " core(s), " + record.getDeltas().size()
                    + " delta(s)");
            System.out.println("  template " + nfr + " (" + record.getData().length + " bytes)");
            System.out.println("  overlay  " + png);
        }
        if (images.size() < captures) {
            System.out.println("Only " + images.size() + " of " + captures + " image(s) arrived within "
                    + timeoutSeconds + " s; is a finger on the sensor (or the simulator serving)?");
            return false;
        }
        return true;
    }

    /** Captures up to {@code count} images, waiting at most {@code timeoutSeconds} for each. */
    static List<Capture> capture(Scanner scanner, int count, int timeoutSeconds) throws InterruptedException {
        BlockingQueue<Capture> queue = new LinkedBlockingQueue<>();
        Scanner.ScanListener listener = (s, event) -> {
            if (event.kind == Scanner.ScanEventKind.ImageScanned && event.image != null
                    && event.image.buffer != null) {
                queue.add(new Capture(event.image.width, event.image.height, event.image.buffer.clone()));
            }
        };
        List<Capture> images = new ArrayList<>();
        System.out.println("Capturing " + count + " image(s) from " + scanner.getID() + " (place a finger)...");
        scanner.addScanListener(listener);
        try {
            scanner.startCapturing();
            while (images.size() < count) {
                Capture c = queue.poll(timeoutSeconds, TimeUnit.SECONDS);
                if (c == null) {
                    System.out.println();
                    System.out.println("No image within " + timeoutSeconds + " s, giving up.");
                    break;
                }
                images.add(c);
                System.out.print("\r  captured " + images.size() + "/" + count);
                System.out.flush();
            }
            System.out.println();
        } finally {
            scanner.removeScanListener(listener);
            scanner.stopCapturing();
        }
        return images;
    }

    // Colours of the engine's own drawing tool: endings red, bifurcations
    // blue, cores green, deltas magenta, double cores yellow.
    private static final Color ENDING = new Color(230, 30, 30);
    private static final Color BIFURCATION = new Color(40, 90, 255);
    private static final Color CORE = new Color(0, 190, 0);
    private static final Color DELTA = new Color(220, 0, 220);
    private static final Color DOUBLE_CORE = new Color(240, 210, 0);
    private static final int SCALE = 2;

    /**
     * Draws the template's items over the grey image (twice its size) into a
     * PNG. Returns the minutia count, endings and bifurcations.
     */
    static int[] overlay(NImage image, NFRecord record, Path png) throws Exception {
        int w = image.getWidth();
        int h = image.getHeight();
        BufferedImage picture = new BufferedImage(w * SCALE, h * SCALE, BufferedImage.TYPE_INT_RGB);
        for (int y = 0; y < h * SCALE; y++) {
            for (int x = 0; x < w * SCALE; x++) {
                int g = image.getPixel(x / SCALE, y / SCALE);
                picture.setRGB(x, y, g << 16 | g << 8 | g);
            }
        }
        Graphics2D g = picture.createGraphics();
        g.setRenderingHint(RenderingHints.KEY_ANTIALIASING, RenderingHints.VALUE_ANTIALIAS_ON);
        g.setStroke(new BasicStroke(1.5f));
        int endings = 0;
        int bifurcations = 0;
        List<NFMinutia> minutiae = record.getMinutiae();
        for (NFMinutia m : minutiae) {
            boolean bifurcation = m.getType() == NFMinutiaType.BIFURCATION;
            if (bifurcation) {
                bifurcations++;
            } else {
                endings++;
            }
            g.setColor(bifurcation ? BIFURCATION : ENDING);
            mark(g, m.X, m.Y, 4, bifurcation);
            direction(g, m.X, m.Y, m.Angle, 14);
        }
        for (NFCore c : record.getCores()) {
            g.setColor(CORE);
            mark(g, c.X, c.Y, 7, false);
            direction(g, c.X, c.Y, c.Angle, 20);
        }
        for (NFDelta d : record.getDeltas()) {
            g.setColor(DELTA);
            mark(g, d.X, d.Y, 7, true);
            direction(g, d.X, d.Y, d.Angle1, 16);
            direction(g, d.X, d.Y, d.Angle2, 16);
            direction(g, d.X, d.Y, d.Angle3, 16);
        }
        for (NFDoubleCore d : record.getDoubleCores()) {
            g.setColor(DOUBLE_CORE);
            mark(g, d.X, d.Y, 10, false);
        }
        g.dispose();
        if (!ImageIO.write(picture, "png", png.toFile())) {
            throw new IllegalStateException("no PNG writer in this Java runtime");
        }
        return new int[] {minutiae.size(), endings, bifurcations};
    }

    /** A circle (or a square) of radius r image pixels around (x, y). */
    private static void mark(Graphics2D g, int x, int y, int r, boolean square) {
        int cx = x * SCALE + SCALE / 2;
        int cy = y * SCALE + SCALE / 2;
        int s = r * SCALE;
        if (square) {
            g.drawRect(cx - s / 2, cy - s / 2, s, s);
        } else {
            g.drawOval(cx - s / 2, cy - s / 2, s, s);
        }
    }

    /**
     * A line of {@code length} image pixels from (x, y) along an angle of 256
     * steps per circle, counter-clockwise from +X as the picture is seen
     * (rows grow downwards, hence the minus).
     */
    private static void direction(Graphics2D g, int x, int y, int angle, int length) {
        double a = (angle & 0xFF) * 2 * Math.PI / 256;
        double cx = x * SCALE + SCALE / 2.0;
        double cy = y * SCALE + SCALE / 2.0;
        double l = length * SCALE;
        g.drawLine((int) Math.round(cx), (int) Math.round(cy), (int) Math.round(cx + l * Math.cos(a)),
                (int) Math.round(cy - l * Math.sin(a)));
    }

    /** Loads the BMP given, or makes a synthetic grey image, and saves it again. */
    static NImage images(Path input, Path out) throws Exception {
        System.out.println("== Images ==");
        NImage image;
        if (input != null) {
            image = NImage.read(input);
            System.out.println("Loaded " + input + ": " + image.getWidth() + " x " + image.getHeight() + " pixels");
        } else {
            image = syntheticImage(160, 120);
            System.out.println("Made a synthetic grey image: " + image.getWidth() + " x " + image.getHeight()
                    + " pixels");
        }
        Path saved = out.resolve("demo-image.bmp").toAbsolutePath();
        image.write(saved);
        System.out.println("Saved it as " + saved + " (" + Files.size(saved) + " bytes)");
        NImage again = NImage.read(saved);
        System.out.println("Read back: " + again.getWidth() + " x " + again.getHeight() + ", same pixels: "
                + java.util.Arrays.equals(image.getBuffer(), again.getBuffer()));
        return image;
    }

    /** Concentric rings, a little like ridges. */
    static NImage syntheticImage(int width, int height) {
        NImage image = new NImage(width, height);
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++) {
                double r = Math.hypot(x - width / 2.0, y - height / 2.0);
                image.setPixel(x, y, (int) (127.5 + 127.5 * Math.cos(r / 3.0)));
            }
        }
        return image;
    }

    /** Builds a small NFRecord in memory and prints its items. */
    static void templates() throws Exception {
        System.out.println();
        System.out.println("== Templates ==");
        NFRecord record = new NFRecord(sampleTemplate());
        System.out.println("Template of " + record.getData().length + " bytes");
        for (NFMinutia m : record.getMinutiae()) {
            System.out.println("  " + m);
        }
        for (NFCore c : record.getCores()) {
            System.out.println("  " + c);
        }
        for (NFDelta d : record.getDeltas()) {
            System.out.println("  " + d);
        }
        for (NFDoubleCore d : record.getDoubleCores()) {
            System.out.println("  " + d);
        }
    }

    private static int word(int x, int y, int type, int angle) {
        return x << 21 | y << 10 | type << 8 | angle;
    }

    private static void put32(ByteArrayOutputStream b, int v) {
        for (int i = 0; i < 4; i++) {
            b.write(v >>> (8 * i));
        }
    }

    /** Three minutiae with quality bytes, one core, one delta, no double cores. */
    static byte[] sampleTemplate() {
        ByteArrayOutputStream b = new ByteArrayOutputStream();
        b.writeBytes(new byte[22]);
        b.write(1); // quality bytes present
        b.write(0);
        b.write(3); // minutiae
        b.write(5); // 4-byte word + quality
        int[][] minutiae = {{120, 80, 0, 64, 90}, {140, 95, 1, 200, 75}, {101, 130, 0, 12, 60}};
        for (int[] m : minutiae) {
            put32(b, word(m[0], m[1], m[2], m[3]));
            b.write(m[4]);
        }
        b.write(0);
        b.write(0); // empty length-prefixed block
        b.write(0);
        b.write(1); // one core of 4 bytes
        b.write(4);
        put32(b, word(128, 100, 0, 90));
        b.write(1); // one delta of 7 bytes
        b.write(7);
        put32(b, word(90, 150, 0, 0));
        b.write(30);
        b.write(110);
        b.write(220);
        b.write(0); // no double cores
        b.write(4);
        return b.toByteArray();
    }
}
