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

    /** Stops and releases every reader, so that the JVM ends with no capture running. */
    static void release() {
        try {
            ScannerMan.uninitialize();
        } catch (RuntimeException | UnsatisfiedLinkError | NoClassDefFoundError e) {
            // nothing was started, or the library never loaded: nothing to release
        }
    }
}
