package ardivex.fingers;

import java.io.File;

/**
 * Where the extraction tests run. They need the native library in a folder of
 * its own (set up by the build): beside the fake engine ("java-omextract") or
 * without any engine ("java-noengine"). Each ctest entry runs only the
 * classes whose folder it provides; elsewhere they fail.
 */
final class FakeEngine {
    private FakeEngine() {
    }

    static File libraryFolder() {
        String path = System.getProperty("java.library.path", "");
        return new File(path.split(File.pathSeparator)[0]).getAbsoluteFile();
    }

    static boolean besideFake() {
        return libraryFolder().getName().equals("java-omextract");
    }

    static boolean withoutEngine() {
        return libraryFolder().getName().equals("java-noengine");
    }

    /** The record size the fake reports for n minutiae of the given record size. */
    static int recordSize(int minutiae, int minutiaSize) {
        return 26 + minutiae * minutiaSize + 3 + 2 + (2 + 4) + (2 + 7) + 2;
    }

    /** Pixels that the fake turns into a template: a ramp offset by seed. */
    static byte[] ramp(int width, int height, int seed) {
        byte[] b = new byte[width * height];
        for (int i = 0; i < b.length; i++) {
            b[i] = (byte) (i * 7 + seed);
        }
        return b;
    }

    static int mean(byte[] b) {
        long sum = 0;
        for (byte x : b) {
            sum += x & 0xFF;
        }
        return (int) (sum / b.length);
    }
}
