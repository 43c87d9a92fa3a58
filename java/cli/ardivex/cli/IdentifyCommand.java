package ardivex.cli;

import ardivex.matching.Candidate;
import ardivex.matching.FingerprintBase;
import ardivex.matching.GuidedEnrollment;
import ardivex.matching.NFMatcher;
import java.nio.file.Path;
import java.util.List;
import java.util.Locale;
import picocli.CommandLine.Command;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;

/** {@code identify}: the enrolled fingerprints of a base that match a fingerprint. */
@Command(name = "identify", mixinStandardHelpOptions = true,
        description = {"Searches a base file for the enrolled fingerprints that match a fingerprint, best first.",
                "The fingerprint is an image (PNG, JPEG, TIFF, BMP or GIF, in grey or colour), whose template is "
                + "extracted as extract does, an ISO/IEC 19794-2:2005 or ANSI INCITS 378-2004 finger minutiae record "
                + "(its first finger view), or an NFRecord template file. A candidate scores at least the threshold "
                + "of the false match rate "
                + "(see verify).",
                "With --reader instead of a file, the next touch on a reader is identified."},
        footerHeading = "%nExit codes:%n",
        footer = {"  0  one candidate or more", "  1  no candidate",
                "  2  usage, a missing base, or an input that is neither an image, a record",
                "     nor a template",
                "  3  failure while running, or a base that cannot be opened (damaged, older",
                "     than its commit record, held by another process)",
                "",
                "Codes are printed with control characters and '\\' escaped (\\n, \\u001B, \\\\)."})
public final class IdentifyCommand extends CliCommand {
    @Option(names = "--base", required = true, paramLabel = "FILE",
            description = "The base: FILE.mv.db, as enroll made it (the ending may be left out).")
    Path base;

    @Option(names = "--max", paramLabel = "N", defaultValue = "10",
            description = "List at most N candidates (default ${DEFAULT-VALUE}).")
    int max;

    @Option(names = "--rate", paramLabel = "RATE", defaultValue = Matching.DEFAULT_RATE,
            description = "The false match rate whose threshold a candidate reaches (default ${DEFAULT-VALUE}).")
    String rate;

    @Parameters(index = "0", arity = "0..1", paramLabel = "IMAGE|TEMPLATE",
            description = "An image (.png, .jpg, .tif, .bmp, .gif), a minutiae record or a template (.nfr); "
                    + "or --reader.")
    Path input;

    @Option(names = "--reader", paramLabel = "N", description = "Identify the next touch on reader N (see list).")
    Integer reader;

    @Option(names = "--timeout", paramLabel = "S", defaultValue = "30",
            description = "With --reader: how long to wait for the touch (default ${DEFAULT-VALUE} s).")
    int timeout;

    @Override
    protected int run() throws Exception {
        if (max < 1) {
            throw new CliException(ExitCode.USAGE, "--max must be 1 or more");
        }
        int least = NFMatcher.threshold(Matching.rate(spec.commandLine(), rate));
        if ((input == null) == (reader == null)) {
            throw new CliException(ExitCode.USAGE, "give either an input file or --reader");
        }
        try (FingerprintBase b = Matching.open(base, false)) {
            byte[] template = reader == null ? TemplateFiles.load(input) : touch();
            int enrolled = b.count();
            List<Candidate> found = b.identify(template, max, least);
            String among = " among " + enrolled + (enrolled == 1 ? " template" : " templates") + " (least score "
                    + least + ", the threshold at " + rate + ")";
            Matching.warnUnreadable(b, err(), "identify");
            if (found.isEmpty()) {
                int minutiae = Matching.minutiae(template);
                out().println("no candidate" + among + (minutiae >= FingerprintBase.MIN_MINUTIAE ? ""
                        : ": the fingerprint has " + (minutiae == 0 ? "no minutiae" : "only " + minutiae
                        + (minutiae == 1 ? " minutia" : " minutiae")) + ", and a match needs at least "
                        + FingerprintBase.MIN_MINUTIAE + " (a blank, partial or poor image?)"));
                return ExitCode.NOTHING_FOUND;
            }
            out().println(found.size() + (found.size() == 1 ? " candidate" : " candidates") + among + ":");
            out().println(String.format(Locale.ROOT, "  %4s %6s %8s %6s  %s", "#", "score", "id", "finger", "code"));
            int n = 0;
            for (Candidate c : found) {
                out().println(String.format(Locale.ROOT, "  %4d %6d %8d %6d  %s", ++n, c.score(), c.id(), c.finger(),
                        Matching.printable(c.code())));
            }
            return ExitCode.OK;
        }
    }

    private byte[] touch() throws Exception {
        if (reader < 0 || timeout < 1) {
            throw new CliException(ExitCode.USAGE, "--reader must be 0 or more and --timeout 1 or more");
        }
        try {
            return Readers.guide(out(), timeout).takeOne(Readers.pick(reader));
        } catch (GuidedEnrollment.EnrollmentException e) {
            throw new CliException(ExitCode.NOTHING_FOUND, "nothing to identify: " + e.getMessage());
        } finally {
            Readers.release();
        }
    }
}
