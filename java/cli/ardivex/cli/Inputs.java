package ardivex.cli;

import ardivex.images.NImage;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;

/** Reading the files named on the command line; a file that cannot be read is a usage error. */
final class Inputs {
    private Inputs() {
    }

    static byte[] read(Path file) throws CliException {
        try {
            return Files.readAllBytes(file);
        } catch (NoSuchFileException e) {
            throw new CliException(ExitCode.USAGE, file + ": no such file");
        } catch (IOException e) {
            throw new CliException(ExitCode.USAGE, file + ": cannot be read (" + e + ")");
        }
    }

    static NImage image(Path file) throws CliException {
        byte[] bytes = read(file);
        try {
            return NImage.fromBmp(bytes);
        } catch (Exception e) {
            throw new CliException(ExitCode.USAGE, file + " is not an uncompressed 8-bit grey BMP file ("
                    + e.getMessage() + ")");
        }
    }
}
