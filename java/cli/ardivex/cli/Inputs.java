package ardivex.cli;

import ardivex.images.NImage;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;

/**
 * Reading the files named on the command line; a file that cannot be read,
 * or that is not what the command takes, is a usage error.
 */
final class Inputs {
    /**
     * The largest input file read, far above any fingerprint image (a
     * 1000 ppi picture of a whole hand is about 16 MiB) or template (at most
     * about 100 KiB); a device such as /dev/zero ends there instead of
     * filling the memory.
     */
    static final int MAX_BYTES = 64 << 20;
    /** {@link #MAX_BYTES} as the help says it. */
    static final String MAX_TEXT = "64 MiB";

    private Inputs() {
    }

    static byte[] read(Path file) throws CliException {
        try {
            if (Files.isDirectory(file)) {
                throw new CliException(ExitCode.USAGE, file + " is a folder, not a file");
            }
            if (Files.isRegularFile(file) && Files.size(file) > MAX_BYTES) {
                throw tooLarge(file);
            }
            // Devices and pipes have no size: read at most one byte past the cap.
            try (InputStream in = Files.newInputStream(file)) {
                ByteArrayOutputStream out = new ByteArrayOutputStream();
                byte[] buf = new byte[64 * 1024];
                for (int n; (n = in.read(buf)) > 0;) {
                    out.write(buf, 0, n);
                    if (out.size() > MAX_BYTES) {
                        throw tooLarge(file);
                    }
                }
                return out.toByteArray();
            }
        } catch (NoSuchFileException e) {
            throw new CliException(ExitCode.USAGE, file + ": no such file");
        } catch (IOException e) {
            throw new CliException(ExitCode.USAGE, file + ": cannot be read (" + CliCommand.reason(e) + ")");
        }
    }

    private static CliException tooLarge(Path file) {
        return new CliException(ExitCode.USAGE, file + " is larger than " + MAX_TEXT
                + "; no fingerprint image or template is that large");
    }

    /** Whether the bytes begin as a BMP file does. */
    static boolean looksLikeBmp(byte[] bytes) {
        return bytes.length >= 2 && bytes[0] == 'B' && bytes[1] == 'M';
    }

    /**
     * The picture format whose signature the bytes begin with: "BMP", "PNG",
     * "JPEG", "TIFF" or "GIF"; null for none of them.
     */
    static String pictureFormat(byte[] b) {
        if (looksLikeBmp(b)) {
            return "BMP";
        }
        if (startsWith(b, 0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A)) {
            return "PNG";
        }
        if (startsWith(b, 0xFF, 0xD8, 0xFF)) {
            return "JPEG";
        }
        if (startsWith(b, 'I', 'I', 42, 0) || startsWith(b, 'M', 'M', 0, 42)) {
            return "TIFF";
        }
        if (startsWith(b, 'G', 'I', 'F', '8')) {
            return "GIF";
        }
        return null;
    }

    private static boolean startsWith(byte[] b, int... signature) {
        if (b.length < signature.length) {
            return false;
        }
        for (int i = 0; i < signature.length; i++) {
            if ((b[i] & 0xFF) != signature[i]) {
                return false;
            }
        }
        return true;
    }

    static NImage image(Path file) throws CliException {
        return image(read(file), file);
    }

    /**
     * The image of a picture file's bytes, in grey (colour pixels become
     * their luma, as {@link NImage#decode(byte[])} says). The native reader
     * of 8-bit BMP files lets rows missing at the end of a file read as
     * black; a fingerprint taken from such a picture would be a different
     * one, so a file shorter than its header says is refused here.
     */
    static NImage image(byte[] bytes, Path file) throws CliException {
        NImage picture = null;
        if (looksLikeBmp(bytes)) {
            try {
                picture = NImage.fromBmp(bytes);
            } catch (Exception e) {
                // not an uncompressed 8-bit BMP: decoded below with the other formats
            }
        }
        if (picture == null) {
            try {
                return NImage.decode(bytes);
            } catch (IOException e) {
                String format = pictureFormat(bytes);
                throw new CliException(ExitCode.USAGE, format == null
                        ? file + " is not a picture: neither PNG, JPEG, TIFF, BMP nor GIF"
                        : file + " is a " + format + " file that cannot be read: " + e.getMessage());
            }
        }
        long needed = bmpLength(bytes, picture.getWidth(), picture.getHeight());
        if (bytes.length < needed) {
            throw new CliException(ExitCode.USAGE, file + " is cut short: its header announces " + needed
                    + " bytes of a " + picture.getWidth() + " x " + picture.getHeight() + " image, the file has "
                    + bytes.length);
        }
        return picture;
    }

    /**
     * Where the last pixel row of a BMP file that the reader accepted ends:
     * the rows begin after the colour table, or at the header's pixel offset
     * when it points further, and each holds the width rounded up to 4 bytes.
     */
    static long bmpLength(byte[] bytes, int width, int height) {
        ByteBuffer b = ByteBuffer.wrap(bytes).order(ByteOrder.LITTLE_ENDIAN);
        long offset = b.getInt(10) & 0xFFFFFFFFL;
        long header = b.getInt(14) & 0xFFFFFFFFL;
        long colours;
        long entry;
        if (header == 12) {
            colours = 256;
            entry = 3;
        } else {
            colours = b.getInt(46) & 0xFFFFFFFFL;
            colours = colours == 0 ? 256 : colours;
            entry = 4;
        }
        long table = 14 + header + colours * entry;
        long rows = (((long) width + 3) & ~3L) * height;
        return Math.max(offset, table) + rows;
    }
}
