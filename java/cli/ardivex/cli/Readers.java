package ardivex.cli;

import ardivex.scanners.ScanManException;
import ardivex.scanners.Scanner;
import ardivex.scanners.ScannerMan;
import java.util.List;

/** Reader access shared by the commands. */
final class Readers {
    static final String NONE_FOUND = "No reader found. Is the reader attached, and does its plug-in (omr_*_64) lie "
            + "beside the dactylink library? DACTYLINK_TRACE=1 shows where plug-ins were looked for.";

    private Readers() {
    }

    static List<Scanner> all() throws CliException {
        try {
            return ScannerMan.getScanners();
        } catch (ScanManException e) {
            throw new CliException(ExitCode.FAILURE, "the readers cannot be listed: " + e.getMessage());
        }
    }

    /**
     * The scanner of reader {@code index}.
     *
     * @throws CliException with exit code 1 when there is no such reader
     */
    static Scanner pick(int index) throws CliException {
        List<Scanner> readers = all();
        if (readers.isEmpty()) {
            throw new CliException(ExitCode.NOTHING_FOUND, NONE_FOUND);
        }
        if (index >= readers.size()) {
            throw new CliException(ExitCode.NOTHING_FOUND, "there is no reader " + index + "; list shows "
                    + (readers.size() == 1 ? "reader 0" : "readers 0 to " + (readers.size() - 1)));
        }
        return readers.get(index);
    }

    /**
     * A guide for touches on a reader that prints its steps on {@code out}.
     *
     * @throws CliException with exit code 3 when the engine cannot be used
     */
    static ardivex.matching.GuidedEnrollment guide(java.io.PrintWriter out, int timeoutSeconds)
            throws CliException {
        ardivex.fingers.NFExtractor extractor;
        try {
            extractor = new ardivex.fingers.NFExtractor();
        } catch (Exception e) {
            throw new CliException(ExitCode.FAILURE, "the extraction engine cannot be used: " + e.getMessage());
        }
        return new ardivex.matching.GuidedEnrollment(extractor)
                .timeout(java.time.Duration.ofSeconds(timeoutSeconds))
                .progress((step, touch, of, message) -> {
                    out.println((of > 1 ? "touch " + touch + " of " + of + ": " : "") + message);
                    out.flush();
                });
    }

    /** Stops and releases every reader, so that the JVM ends with no capture running. */
    static void release() {
        try {
            ScannerMan.uninitialize();
        } catch (RuntimeException | UnsatisfiedLinkError | NoClassDefFoundError e) {
            // nothing was started, or the library never loaded: nothing to release
        }
    }
}
