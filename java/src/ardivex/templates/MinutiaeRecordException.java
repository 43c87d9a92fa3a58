package ardivex.templates;

/**
 * A finger minutiae record could not be read (it is not what it claims to be:
 * wrong magic, lengths that disagree, counts beyond the record, coordinates
 * outside the image, no such finger view), or a template could not be written
 * as one. The message says which.
 */
public class MinutiaeRecordException extends Exception {
    private static final long serialVersionUID = 1L;

    /**
     * An exception with a message.
     *
     * @param message what is wrong with the record or the template
     */
    public MinutiaeRecordException(String message) {
        super(message);
    }
}
