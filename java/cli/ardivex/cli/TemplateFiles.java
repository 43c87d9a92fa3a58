package ardivex.cli;

import ardivex.fingers.NFExtractor;
import ardivex.fingers.NFMinutiaFormat;
import ardivex.fingers.NFTemplateSize;
import ardivex.images.NImage;
import ardivex.matching.MatchingException;
import ardivex.matching.NFMatcher;
import ardivex.templates.FingerMinutiaeRecord;
import ardivex.templates.MinutiaeRecordException;
import ardivex.templates.MinutiaeRecordFormat;
import ardivex.templates.NFRecord;
import java.nio.file.Path;

/**
 * Templates named on the command line: a picture (a file beginning with the
 * signature of a BMP, PNG, JPEG, TIFF or GIF file, that is no template) whose
 * template the engine extracts, an ISO/IEC 19794-2:2005 or ANSI INCITS
 * 378-2004 finger minutiae record (a file starting with "FMR\0" " 20\0", told
 * apart by its length field) whose finger view becomes a template, or an
 * NFRecord file that {@link NFMatcher#check(byte[])} accepts as a template.
 */
final class TemplateFiles {
    // How NFMatcher.check's messages begin; the tool names the file instead.
    private static final String NOT_A_TEMPLATE = "Not a valid NFRecord template: ";

    private TemplateFiles() {
    }

    /** A fingerprint read from a file: what the file held, and its template. */
    static final class Input {
        /** What the file held, for messages: "a PNG image", "an ISO/IEC 19794-2:2005 record"... */
        final String kind;
        final NFRecord template;

        Input(String kind, NFRecord template) {
            this.kind = kind;
            this.template = template;
        }
    }

    /**
     * The template of an image or a template file, with minutiae to compare.
     *
     * @param file a picture, a finger minutiae record or an NFRecord template file
     * @return the NFRecord bytes, holding at least one minutia
     * @throws CliException with exit code 2 for a file that cannot be read, a
     *     picture that cannot be decoded, a BMP cut short, a malformed record,
     *     or a file that is none of them; 1 when the image, the record or the
     *     template holds no minutiae; 3 when
     *     the engine fails
     */
    static byte[] load(Path file) throws CliException {
        Input in = read(file, 0);
        if (minutiae(in.template) == 0) {
            throw new CliException(ExitCode.NOTHING_FOUND, file + " is " + in.kind + " without minutiae: "
                    + "there is nothing to compare in it");
        }
        return in.template.getData();
    }

    /**
     * The template of any input: an image's (with minutiae), a record's
     * finger view, or a template file's own.
     *
     * @param file the file
     * @param view the finger view of a record, 0 for the first
     * @return what the file held and its template (of a record or a template
     *     file, possibly without minutiae)
     * @throws CliException as {@link #load(Path)}, and with exit code 2 when a
     *     record holds no such view
     */
    static Input read(Path file, int view) throws CliException {
        byte[] bytes = Inputs.read(file);
        // A template's first bytes are its writer's, so a picture's signature
        // may begin one; a BMP file never passes as a template: its byte 25
        // (in the height, or the bits per pixel of a core header) is 0 or
        // 255, never a minutia record size. A record's byte 25 (an ISO view's
        // number and impression type, ANSI's reserved byte) is as seldom one.
        String picture = Inputs.pictureFormat(bytes);
        if (picture != null && !isTemplate(bytes)) {
            return new Input("a " + picture + " image", usable(extract(Inputs.image(bytes, file), file), file));
        }
        if (FingerMinutiaeRecord.isMinutiaeRecord(bytes) && !isTemplate(bytes)) {
            return record(bytes, file, view);
        }
        try {
            NFMatcher.check(bytes);
        } catch (MatchingException e) {
            throw new CliException(ExitCode.USAGE, file + " is neither a picture, a finger minutiae record nor a "
                    + "valid NFRecord template: " + problem(e));
        }
        return new Input("an NFRecord template", new NFRecord(bytes));
    }

    /**
     * A finger view of a finger minutiae record as a template.
     *
     * @throws CliException with exit code 2 when the record is malformed or holds no such view
     */
    static Input record(byte[] bytes, Path file, int view) throws CliException {
        MinutiaeRecordFormat format;
        NFRecord first;
        try {
            format = FingerMinutiaeRecord.detect(bytes);
            first = FingerMinutiaeRecord.toNFRecord(bytes, 0);
        } catch (MinutiaeRecordException e) {
            throw new CliException(ExitCode.USAGE, file + " is not a valid finger minutiae record: " + e.getMessage());
        }
        String kind = "an " + format.title() + " record";
        if (view == 0) {
            return new Input(kind, first);
        }
        try {
            return new Input(kind, FingerMinutiaeRecord.toNFRecord(bytes, view));
        } catch (MinutiaeRecordException e) {
            throw new CliException(ExitCode.USAGE, file + ": " + e.getMessage());
        }
    }

    /** The minutiae of a template that passed the check. */
    static int minutiae(NFRecord template) throws CliException {
        try {
            return NFMatcher.check(template.getData());
        } catch (MatchingException e) {
            throw new CliException(ExitCode.FAILURE, "a converted template is not valid (" + e.getMessage() + ")");
        }
    }

    /** What is wrong with bytes that {@link NFMatcher#check(byte[])} refused. */
    static String problem(MatchingException e) {
        String m = String.valueOf(e.getMessage());
        return m.startsWith(NOT_A_TEMPLATE) ? m.substring(NOT_A_TEMPLATE.length()) : m;
    }

    /** Whether {@link NFMatcher#check(byte[])} accepts the bytes as a template. */
    static boolean isTemplate(byte[] bytes) {
        try {
            NFMatcher.check(bytes);
            return true;
        } catch (MatchingException e) {
            return false;
        }
    }

    /**
     * Extracts the template of an image: extended minutiae, every minutia.
     *
     * @param picture the image
     * @param file its file, for messages
     * @return the template, possibly without any minutia
     * @throws CliException with exit code 3 when the engine cannot be used, 1
     *     when it finds no template
     */
    static NFRecord extract(NImage picture, Path file) throws CliException {
        NFExtractor extractor;
        try {
            extractor = new NFExtractor();
        } catch (Exception e) {
            throw new CliException(ExitCode.FAILURE, "the extraction engine cannot be used: " + e.getMessage());
        }
        try {
            return extractor.extract(picture, NFMinutiaFormat.EXTENDED, NFTemplateSize.FULL);
        } catch (Exception e) {
            throw new CliException(ExitCode.NOTHING_FOUND, "no template found in " + file + " (" + e.getMessage()
                    + ")");
        }
    }

    /**
     * The template itself when it holds minutiae.
     *
     * @throws CliException with exit code 1 when it holds none
     */
    static NFRecord usable(NFRecord record, Path image) throws CliException {
        int minutiae;
        try {
            minutiae = NFMatcher.check(record.getData());
        } catch (MatchingException e) {
            throw new CliException(ExitCode.FAILURE, "the engine made a template of " + image
                    + " that is not valid (" + e.getMessage() + ")");
        }
        if (minutiae == 0) {
            throw new CliException(ExitCode.NOTHING_FOUND, "no items: the engine found no minutiae in " + image
                    + " (is there a fingerprint in the picture?)");
        }
        return record;
    }
}
