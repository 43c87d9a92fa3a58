package ardivex.demo;

import ardivex.images.NImage;
import ardivex.templates.NFCore;
import ardivex.templates.NFDelta;
import ardivex.templates.NFDoubleCore;
import ardivex.templates.NFMinutia;
import ardivex.templates.NFRecord;

import java.io.ByteArrayOutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;

/**
 * A short tour of the toolkit. Usage: {@code Demo [image.bmp]}.
 *
 * <p>Each section is a method of its own; the output folder is
 * "build/demo-output" (or the system property {@code dactylink.demo.out}).
 */
public final class Demo {

    private Demo() {
    }

    public static void main(String[] args) throws Exception {
        Path out = Paths.get(System.getProperty("dactylink.demo.out", "build/demo-output"));
        Files.createDirectories(out);

        NImage image = images(args.length > 0 ? Paths.get(args[0]) : null, out);
        templates();
        System.out.println();
        System.out.println("Demo finished (image " + image.getWidth() + " x " + image.getHeight() + ").");
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
        int[][] minutiae = {{120, 80, 1, 64, 90}, {140, 95, 2, 200, 75}, {101, 130, 1, 12, 60}};
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
