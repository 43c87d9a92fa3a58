package ardivex.scanners;

import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;

/**
 * The fake reader plug-in beside the native library (the folder the build
 * prepares for these tests). Its configuration file is read again on every
 * call, so a test can add or remove readers at any time. Without the plug-in
 * beside the library, the scanner tests fail.
 */
final class FakeReaders {
    static final String DEFAULT = "readers=J001,J002\nwidth=24\nheight=10\ndelay_ms=3\n";
    static final int WIDTH = 24;
    static final int HEIGHT = 10;

    private FakeReaders() {
    }

    static File libraryFolder() {
        String path = System.getProperty("java.library.path", "");
        return new File(path.split(File.pathSeparator)[0]).getAbsoluteFile();
    }

    static boolean present() {
        File[] files = libraryFolder().listFiles((d, n) -> n.startsWith("omr_h3fake_64."));
        return files != null && files.length > 0;
    }

    static void configure(String text) {
        try {
            Files.write(new File(libraryFolder(), "omr_h3fake_64.cfg").toPath(), text.getBytes(StandardCharsets.UTF_8));
        } catch (IOException e) {
            throw new IllegalStateException(e);
        }
    }

    /** The frame number the fake writes into the first four bytes of the last row. */
    static int frame(Scanner.ScanImage img) {
        int o = (img.height - 1) * img.width;
        return (img.buffer[o] & 0xff) | (img.buffer[o + 1] & 0xff) << 8 | (img.buffer[o + 2] & 0xff) << 16
                | (img.buffer[o + 3] & 0xff) << 24;
    }
}
