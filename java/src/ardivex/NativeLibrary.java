package ardivex;

/** Loads the native library "dactylink" once per class loader. */
public final class NativeLibrary {
    private static boolean loaded;

    private NativeLibrary() {
    }

    /** Loads dactylink with {@code System.loadLibrary}; later calls do nothing. */
    public static synchronized void load() {
        if (!loaded) {
            System.loadLibrary("dactylink");
            loaded = true;
        }
    }
}
