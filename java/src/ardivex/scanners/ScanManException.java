package ardivex.scanners;

/** Thrown by the scanner functions when the native library reports a failure. */
public class ScanManException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    public ScanManException(String message) {
        super(message);
    }
}
