package ardivex.images;

import ardivex.NativeLibrary;

import java.nio.file.Files;
import java.nio.file.Path;

/**
 * An 8-bit grey image: {@code height} rows of {@code width} bytes, top row
 * first, 0 black to 255 white. It reads and writes Windows BMP files.
 *
 * <p>The fields are read and written by the native library by name; they are
 * not final so that it can set them.
 */
public class NImage {
    static {
        NativeLibrary.load();
    }

    /** Pixels per row. */
    public int width;
    /** Number of rows. */
    public int height;
    /** {@code width * height} bytes, row by row from the top. */
    public byte[] buffer;

    /** An empty image (0 x 0). */
    public NImage() {
        this.buffer = new byte[0];
    }

    /** A black image of the given size. */
    public NImage(int width, int height) {
        if (width < 0 || height < 0) {
            throw new IllegalArgumentException("Negative image size " + width + " x " + height);
        }
        this.width = width;
        this.height = height;
        this.buffer = new byte[Math.multiplyExact(width, height)];
    }

    /** An image over the given pixels (not copied); the buffer must hold width * height bytes. */
    public NImage(int width, int height, byte[] buffer) {
        if (width < 0 || height < 0) {
            throw new IllegalArgumentException("Negative image size " + width + " x " + height);
        }
        if (buffer == null || buffer.length < (long) width * height) {
            throw new IllegalArgumentException("Buffer too short for " + width + " x " + height);
        }
        this.width = width;
        this.height = height;
        this.buffer = buffer;
    }

    /** Decodes an uncompressed 8-bit BMP file; throws "Wrong file format" for anything else. */
    public static NImage fromBmp(byte[] file) throws Exception {
        NImage image = new NImage();
        image.loadBMP(file);
        return image;
    }

    /** Reads an 8-bit BMP file. */
    public static NImage read(Path path) throws Exception {
        return fromBmp(Files.readAllBytes(path));
    }

    /** Writes this image as a grey BMP file. */
    public void write(Path path) throws Exception {
        Files.write(path, saveBMP());
    }

    /** Replaces this image's size and pixels with those of the BMP file (8 bits, uncompressed). */
    public native void loadBMP(byte[] file) throws Exception;

    /** The grey BMP file of this image; empty when width or height is 0. */
    public native byte[] saveBMP() throws Exception;

    public int getWidth() {
        return width;
    }

    public int getHeight() {
        return height;
    }

    public byte[] getBuffer() {
        return buffer;
    }

    /** The grey level (0 to 255) of the pixel at column x of row y (row 0 at the top). */
    public int getPixel(int x, int y) {
        checkPixel(x, y);
        return buffer[y * width + x] & 0xFF;
    }

    public void setPixel(int x, int y, int grey) {
        checkPixel(x, y);
        buffer[y * width + x] = (byte) grey;
    }

    private void checkPixel(int x, int y) {
        if (x < 0 || y < 0 || x >= width || y >= height) {
            throw new IndexOutOfBoundsException("Pixel (" + x + ", " + y + ") outside " + width + " x " + height);
        }
    }

    @Override
    public String toString() {
        return "NImage[" + width + " x " + height + "]";
    }
}
