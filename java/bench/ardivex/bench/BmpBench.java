package ardivex.bench;

import ardivex.images.NImage;

import java.awt.image.BufferedImage;
import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.util.Locale;

import javax.imageio.ImageIO;

/**
 * Times NImage.saveBMP and NImage.loadBMP against javax.imageio writing and
 * reading the same 8-bit grey BMP in memory, and against the floor: one copy
 * of the file's bytes into an array that already exists (and, for reference,
 * into a new array, as each call must make one). javax.imageio runs
 * without its disk cache, so that both sides stay in memory.
 * Usage: BmpBench [width height [seconds-per-case [load|save]]]; 388 x 374 by
 * default. With load or save, only that case runs, for as long as asked (for
 * a profiler).
 * The last lines ("figure name value") are read by scripts/bench.sh.
 */
public final class BmpBench {
    private static volatile Object sink;

    private BmpBench() {
    }

    interface Case {
        Object run() throws Exception;
    }

    /** Nanoseconds per operation after a warm-up of the same length. */
    static double time(Case c, double seconds) throws Exception {
        // A case starts on a collected heap: javax.imageio leaves much garbage
        // behind, and the collections it causes were billed to the next case.
        System.gc();
        long budget = (long) (seconds * 1e9);
        for (long end = System.nanoTime() + budget; System.nanoTime() < end;) {
            sink = c.run();
        }
        long ops = 0;
        long start = System.nanoTime();
        long now;
        do {
            sink = c.run();
            ops++;
            now = System.nanoTime();
        } while (now - start < budget);
        return (double) (now - start) / ops;
    }

    public static void main(String[] args) throws Exception {
        int width = args.length >= 2 ? Integer.parseInt(args[0]) : 388;
        int height = args.length >= 2 ? Integer.parseInt(args[1]) : 374;
        double seconds = args.length >= 3 ? Double.parseDouble(args[2]) : 2.0;
        ImageIO.setUseCache(false);

        NImage image = new NImage(width, height);
        BufferedImage grey = new BufferedImage(width, height, BufferedImage.TYPE_BYTE_GRAY);
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++) {
                int v = (x * 7 + y * 13) & 0xFF;
                image.setPixel(x, y, v);
                grey.getRaster().setSample(x, y, 0, v);
            }
        }
        byte[] ours = image.saveBMP();
        ByteArrayOutputStream theirsOut = new ByteArrayOutputStream();
        ImageIO.write(grey, "bmp", theirsOut);
        byte[] theirs = theirsOut.toByteArray();
        byte[] copy = new byte[ours.length];
        if (args.length >= 4) {
            Case only = args[3].equals("load") ? () -> NImage.fromBmp(ours) : image::saveBMP;
            System.out.printf(Locale.ROOT, "%s %.2f us%n", args[3], time(only, seconds) / 1e3);
            return;
        }

        double floor = time(() -> {
            System.arraycopy(ours, 0, copy, 0, ours.length);
            return copy;
        }, seconds);
        double fresh = time(ours::clone, seconds);
        double save = time(image::saveBMP, seconds);
        double load = time(() -> NImage.fromBmp(ours), seconds);
        double write = time(() -> {
            ByteArrayOutputStream out = new ByteArrayOutputStream(theirs.length);
            ImageIO.write(grey, "bmp", out);
            return out;
        }, seconds);
        double read = time(() -> ImageIO.read(new ByteArrayInputStream(ours)), seconds);

        System.out.printf(Locale.ROOT, "%d x %d grey BMP (%d bytes; imageio writes %d)%n", width, height,
                ours.length, theirs.length);
        System.out.printf(Locale.ROOT, "floor: one copy of the file %10.2f us (into a new array: %.2f us)%n",
                floor / 1e3, fresh / 1e3);
        System.out.printf(Locale.ROOT,
                "write: saveBMP %10.2f us (%5.2f copies)   imageio %10.1f us   imageio/saveBMP %6.2fx%n",
                save / 1e3, save / floor, write / 1e3, write / save);
        System.out.printf(Locale.ROOT,
                "read:  loadBMP %10.2f us (%5.2f copies)   imageio %10.1f us   imageio/loadBMP %6.2fx%n",
                load / 1e3, load / floor, read / 1e3, read / load);
        System.out.printf(Locale.ROOT, "figure bmp_copy_us %.3f%n", floor / 1e3);
        System.out.printf(Locale.ROOT, "figure bmp_clone_us %.3f%n", fresh / 1e3);
        System.out.printf(Locale.ROOT, "figure bmp_save_us %.3f%n", save / 1e3);
        System.out.printf(Locale.ROOT, "figure bmp_load_us %.3f%n", load / 1e3);
        System.out.printf(Locale.ROOT, "figure imageio_write_us %.3f%n", write / 1e3);
        System.out.printf(Locale.ROOT, "figure imageio_read_us %.3f%n", read / 1e3);
    }
}
