package ardivex.cli;

import ardivex.matching.FingerprintBase;
import ardivex.matching.MatchingException;
import java.nio.file.Files;
import java.nio.file.Path;
import picocli.CommandLine;
import picocli.CommandLine.ParameterException;

/** What the matching commands share: the false match rate option and the base file. */
final class Matching {
    /** The false match rate that decides unless another is asked for. */
    static final String DEFAULT_RATE = "1e-3";
    /** The ending H2 gives the file of a base. */
    static final String BASE_ENDING = ".mv.db";

    private Matching() {
    }

    /**
     * The false match rate given on the command line.
     *
     * @throws ParameterException (exit code 2) unless it is a number above 0 and at most 1
     */
    static double rate(CommandLine cl, String text) {
        double r;
        try {
            r = Double.parseDouble(text);
        } catch (NumberFormatException e) {
            r = Double.NaN;
        }
        if (!(r > 0 && r <= 1)) {
            throw new ParameterException(cl, "--rate must be a number above 0 and at most 1, such as 1e-3, not '"
                    + text + "'");
        }
        return r;
    }

    /** The file that holds the base named {@code given}: "people" and "people.mv.db" both name people.mv.db. */
    static Path baseFile(Path given) {
        String name = given.getFileName() == null ? "" : given.getFileName().toString();
        return name.endsWith(BASE_ENDING) ? given : given.resolveSibling(name + BASE_ENDING);
    }

    /**
     * Opens a base file.
     *
     * @param given the base as named on the command line
     * @param create whether a missing base is created; otherwise it is a usage error (exit code 2)
     * @throws CliException when the base is missing (and not to be created) or cannot be opened (exit code 3)
     */
    static FingerprintBase open(Path given, boolean create) throws CliException {
        Path file = baseFile(given);
        if (!create && !Files.isRegularFile(file)) {
            throw new CliException(ExitCode.USAGE, file + ": no such base; enroll creates it");
        }
        try {
            return FingerprintBase.open(file);
        } catch (MatchingException e) {
            throw new CliException(ExitCode.FAILURE, "cannot open the base " + file + " (" + e.getMessage() + ")");
        }
    }
}
