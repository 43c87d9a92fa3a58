package ardivex.matching;

/**
 * A fingerprint comparison or a fingerprint base operation failed: a template
 * that is not a readable NFRecord, a closed base, or a database failure (the
 * {@link java.sql.SQLException} is then the cause). Like any exception, it
 * is not changed after it is thrown and may be handed to another thread.
 */
public class MatchingException extends Exception {
    private static final long serialVersionUID = 1L;

    /**
     * An exception with a message.
     *
     * @param message what failed
     */
    public MatchingException(String message) {
        super(message);
    }

    /**
     * An exception with a message and its cause.
     *
     * @param message what failed
     * @param cause the failure behind it
     */
    public MatchingException(String message, Throwable cause) {
        super(message, cause);
    }
}
