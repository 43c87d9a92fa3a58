package ardivex.demo;

import ardivex.cli.Capturer;
import ardivex.cli.Overlay;
import ardivex.cli.TemplateText;
import ardivex.fingers.NFExtractor;
import ardivex.fingers.NFMinutiaFormat;
import ardivex.fingers.NFTemplateSize;
import ardivex.images.NImage;
import ardivex.matching.Candidate;
import ardivex.matching.FingerprintBase;
import ardivex.matching.MatchingException;
import ardivex.matching.NFMatcher;
import ardivex.scanners.Scanner;
import ardivex.scanners.ScannerMan;
import ardivex.templates.NFCore;
import ardivex.templates.NFDelta;
import ardivex.templates.NFDoubleCore;
import ardivex.templates.NFMinutia;
import ardivex.templates.NFRecord;

import java.io.ByteArrayOutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * A short tour of the toolkit. Usage:
 * {@code Demo [--captures=N] [--timeout=SECONDS] [--reader=INDEX] [image.bmp]}.
 *
 * <p>Each section is a method of its own; the output folder is
 * "build/demo-output" (or the system property {@code dactylink.demo.out}).
 * The scanner section captures a few images from a reader, saves them as BMP,
 * extracts their templates and draws the minutiae over each image in a PNG.
 * The matching section verifies the first capture against the second and
 * against a turned copy of itself, and identifies that copy among the
 * captures enrolled in a base.
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
            List<NImage> captured = new ArrayList<>();
            List<byte[]> templates = new ArrayList<>();
            ok = scanners(out, reader, captures, timeout, captured, templates);
            matching(out, captured, templates);
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
    static boolean scanners(Path out, int index, int captures, int timeoutSeconds, List<NImage> captured,
            List<byte[]> templates) throws Exception {
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
            captured.add(image);
            templates.add(record.getData());
            Path png = out.resolve(base + "-overlay.png");
            Overlay.draw(image, record, png);
            System.out.println("  " + TemplateText.counts(record));
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

    /**
     * Verifies the first capture against the second and against a second
     * impression made by turning and moving it, then enrolls the captures in
     * a base kept in memory and identifies that second impression among them.
     */
    static void matching(Path out, List<NImage> images, List<byte[]> templates) throws Exception {
        System.out.println();
        System.out.println("== Matching ==");
        if (templates.isEmpty()) {
            System.out.println("No template was extracted: nothing to compare.");
            return;
        }
        NImage turned = turned(images.get(0), 12, 10, 6);
        Path bmp = out.resolve("capture-1-turned.bmp");
        turned.write(bmp);
        byte[] probe = new NFExtractor().extract(turned, NFMinutiaFormat.EXTENDED, NFTemplateSize.FULL).getData();
        System.out.println("Capture 1 turned by 12 degrees and moved by (10, 6) pixels: " + bmp);
        try {
            NFMatcher matcher = new NFMatcher();
            int threshold = NFMatcher.threshold(1e-3);
            System.out.println("Threshold at a false match rate of 1e-3: " + threshold + " (1e-4: "
                    + NFMatcher.threshold(1e-4) + ")");
            verify("capture 1 against its turned copy", matcher.verify(templates.get(0), probe), threshold);
            if (templates.size() > 1) {
                verify("capture 1 against capture 2", matcher.verify(templates.get(0), templates.get(1)), threshold);
            }
            try (FingerprintBase base = FingerprintBase.inMemory()) {
                for (int i = 0; i < templates.size(); i++) {
                    base.enroll("capture-" + (i + 1), 0, templates.get(i));
                }
                base.enroll("sample", 0, sampleTemplate());
                List<Candidate> found = base.identify(probe, 5);
                System.out.println("Identify the turned copy among " + base.count() + " enrolled templates: "
                        + found.size() + " candidate(s), best first");
                for (Candidate c : found) {
                    System.out.println("  " + c.code() + " (finger " + c.finger() + "): score " + c.score());
                }
            }
        } catch (MatchingException e) {
            System.out.println("Matching failed: " + e.getMessage());
        }
    }

    private static void verify(String what, int score, int threshold) {
        System.out.println("Verify " + what + ": score " + score + ", " + (score >= threshold ? "match" : "no match"));
    }

    /** The image turned counter-clockwise about its centre and moved: another impression of the same finger. */
    static NImage turned(NImage image, double degrees, int dx, int dy) {
        int w = image.getWidth();
        int h = image.getHeight();
        NImage out = new NImage(w, h);
        double c = Math.cos(Math.toRadians(degrees));
        double s = Math.sin(Math.toRadians(degrees));
        int background = image.getPixel(0, 0);
        for (int y = 0; y < h; y++) {
            for (int x = 0; x < w; x++) {
                // Where this pixel comes from in the original.
                double u = x - dx - w / 2.0;
                double v = y - dy - h / 2.0;
                int sx = (int) Math.round(w / 2.0 + u * c - v * s);
                int sy = (int) Math.round(h / 2.0 + u * s + v * c);
                out.setPixel(x, y, sx >= 0 && sx < w && sy >= 0 && sy < h ? image.getPixel(sx, sy) : background);
            }
        }
        return out;
    }

    /** Captures up to {@code count} images, waiting at most {@code timeoutSeconds} for each. */
    static List<Capture> capture(Scanner scanner, int count, int timeoutSeconds) throws Exception {
        List<Capture> images = new ArrayList<>();
        System.out.println("Capturing " + count + " image(s) from " + scanner.getID() + " (place a finger)...");
        int received = Capturer.capture(scanner, count, timeoutSeconds, null, (n, w, h, pixels) -> {
            images.add(new Capture(w, h, pixels));
            System.out.print("\r  captured " + n + "/" + count);
            System.out.flush();
        });
        System.out.println();
        if (received < count) {
            System.out.println("No image within " + timeoutSeconds + " s, giving up.");
        }
        return images;
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
