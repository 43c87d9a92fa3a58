package ardivex.scanners;

/**
 * Thrown by the scanner functions when the native library reports a failure.
 * Like any exception, it is not changed after it is thrown and may be handed
 * to another thread.
 */
public class ScanManException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    /**
     * Creates the exception.
     *
     * @param message what failed, as the library reports it
     */
    public ScanManException(String message) {
        super(message);
    }
}
