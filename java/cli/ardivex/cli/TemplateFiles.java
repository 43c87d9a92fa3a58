package ardivex.cli;

import ardivex.fingers.NFExtractor;
import ardivex.fingers.NFMinutiaFormat;
import ardivex.fingers.NFTemplateSize;
import ardivex.images.NImage;
import ardivex.matching.MatchingException;
import ardivex.matching.NFMatcher;
import ardivex.templates.NFRecord;
import java.nio.file.Path;

/**
 * Templates named on the command line: an NFRecord file as it is, or a BMP
 * image (a file starting with "BM") whose template the engine extracts.
 */
final class TemplateFiles {
    private TemplateFiles() {
    }

    /**
     * The template of an image or a template file.
     *
     * @param file a BMP image or an NFRecord template file
     * @return the NFRecord bytes, readable by the matcher
     * @throws CliException with exit code 2 for a file that cannot be read or
     *     is neither, 1 when the image holds no template, 3 when the engine fails
     */
    static byte[] load(Path file) throws CliException {
        byte[] bytes = Inputs.read(file);
        if (bytes.length >= 2 && bytes[0] == 'B' && bytes[1] == 'M') {
            return extract(Inputs.image(file), file).getData();
        }
        try {
            // The matcher's own reading decides whether the bytes are usable.
            new NFMatcher().verify(bytes, bytes);
        } catch (MatchingException e) {
            throw new CliException(ExitCode.USAGE, file + " is neither a BMP image nor a readable NFRecord template ("
                    + e.getMessage() + ")");
        }
        return bytes;
    }

    /**
     * Extracts the template of an image: extended minutiae, every minutia.
     *
     * @param picture the image
     * @param file its file, for messages
     * @return the template
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
}
