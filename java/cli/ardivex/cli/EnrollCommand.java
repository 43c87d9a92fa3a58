package ardivex.cli;

import ardivex.matching.Candidate;
import ardivex.matching.Enrollment;
import ardivex.matching.FingerprintBase;
import ardivex.matching.GuidedEnrollment;
import ardivex.matching.MatchingException;
import java.nio.file.Path;
import picocli.CommandLine.Command;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;

/** {@code enroll}: adds a fingerprint to a base file. */
@Command(name = "enroll", mixinStandardHelpOptions = true,
        description = {"Adds a fingerprint to a base file under a code (a person, a card...) and a finger.",
                "The fingerprint is an image (PNG, JPEG, TIFF, BMP or GIF, in grey or colour), whose template is "
                + "extracted as extract does, an ISO/IEC 19794-2:2005 or ANSI INCITS 378-2004 finger minutiae record "
                + "(its first finger view), or an NFRecord template file, with at least " + FingerprintBase.MIN_MINUTIAE
                + " minutiae. The base is created when missing; enrolling the same code and finger again keeps both "
                + "templates.",
                "With --reader instead of a file, the finger is taken from a reader in several touches, each "
                + "after a lift, checked against each other and searched in the base: a finger enrolled already "
                + "under another code is refused unless --allow-duplicate is given."},
        footerHeading = "%nExit codes:%n",
        footer = {"  0  enrolled", "  1  the fingerprint has too few minutiae to be found (fewer than "
                + FingerprintBase.MIN_MINUTIAE + ");",
                "     from a reader: no reader, no finger in time, touches not of one finger,",
                "     or a finger enrolled under another code",
                "  2  usage, a refused code, or an input that is neither an image, a record",
                "     nor a template",
                "  3  failure while running, or a base that cannot be created or opened",
                "     (damaged, older than its commit record, held by another process)"})
public final class EnrollCommand extends CliCommand {
    @Option(names = "--base", required = true, paramLabel = "FILE",
            description = "The base: FILE.mv.db (an H2 database; the ending may be left out).")
    Path base;

    @Option(names = "--code", required = true, paramLabel = "CODE",
            description = "The code to enroll under, 1 to " + FingerprintBase.MAX_CODE_LENGTH + " characters "
                    + "(UTF-16 units), no control characters.")
    String code;

    @Option(names = "--finger", required = true, paramLabel = "N",
            description = "The finger, 0 to " + FingerprintBase.MAX_FINGER + ".")
    int finger;

    @Parameters(index = "0", arity = "0..1", paramLabel = "IMAGE|TEMPLATE",
            description = "An image (.png, .jpg, .tif, .bmp, .gif), a minutiae record or a template (.nfr); "
                    + "or --reader.")
    Path input;

    @Option(names = "--reader", paramLabel = "N", description = "Take the finger from reader N (see list).")
    Integer reader;

    @Option(names = "--touches", paramLabel = "N", defaultValue = "3",
            description = "With --reader: how many touches (default ${DEFAULT-VALUE}).")
    int touches;

    @Option(names = "--timeout", paramLabel = "S", defaultValue = "30",
            description = "With --reader: how long to wait for each touch and lift (default ${DEFAULT-VALUE} s).")
    int timeout;

    @Option(names = "--allow-duplicate",
            description = "With --reader: enroll a finger that the base holds under another code too.")
    boolean allowDuplicate;

    @Override
    protected int run() throws Exception {
        if (code.isEmpty() || code.length() > FingerprintBase.MAX_CODE_LENGTH) {
            throw new CliException(ExitCode.USAGE, "--code must have 1 to " + FingerprintBase.MAX_CODE_LENGTH
                    + " characters");
        }
        if (finger < 0 || finger > FingerprintBase.MAX_FINGER) {
            throw new CliException(ExitCode.USAGE, "--finger must be 0 to " + FingerprintBase.MAX_FINGER + ", not "
                    + finger);
        }
        if ((input == null) == (reader == null)) {
            throw new CliException(ExitCode.USAGE, "give either an input file or --reader");
        }
        if (reader != null) {
            return fromReader();
        }
        // The input first: a wrong file or code must not leave an empty base behind.
        byte[] template = TemplateFiles.load(input);
        Enrollment enrollment;
        try {
            enrollment = new Enrollment(code, finger, template);
        } catch (IllegalArgumentException e) {
            throw new CliException(ExitCode.USAGE, "--code is refused: " + e.getMessage());
        } catch (MatchingException e) {
            throw new CliException(ExitCode.NOTHING_FOUND, "nothing enrolled from " + input + ": " + e.getMessage());
        }
        try (FingerprintBase b = Matching.open(base, true)) {
            long id = b.enrollAll(java.util.List.of(enrollment))[0];
            int count = b.count();
            out().println("enrolled " + input + " as template " + id + " (code " + Matching.printable(code)
                    + ", finger " + finger + "); the base " + Matching.baseFile(base).toAbsolutePath() + " holds "
                    + count + (count == 1 ? " template" : " templates"));
            Matching.warnUnreadable(b, err(), "enroll");
        }
        return ExitCode.OK;
    }

    private int fromReader() throws Exception {
        if (reader < 0 || touches < 2 || timeout < 1) {
            throw new CliException(ExitCode.USAGE, "--reader must be 0 or more, --touches 2 or more and --timeout 1 "
                    + "or more");
        }
        try {
            Enrollment.checkCode(code);
        } catch (IllegalArgumentException e) {
            throw new CliException(ExitCode.USAGE, "--code is refused: " + e.getMessage());
        }
        try (FingerprintBase b = Matching.open(base, true)) {
            GuidedEnrollment guide = Readers.guide(out(), timeout).touches(touches).checkAgainst(b, code);
            GuidedEnrollment.Result r;
            try {
                r = guide.enroll(Readers.pick(reader));
            } catch (GuidedEnrollment.EnrollmentException e) {
                throw new CliException(ExitCode.NOTHING_FOUND, "nothing enrolled: " + e.getMessage());
            } finally {
                Readers.release();
            }
            for (Candidate c : r.duplicates()) {
                err().println("dactylink enroll: the finger is enrolled already under code "
                        + Matching.printable(c.code()) + " (template " + c.id() + ", finger " + c.finger()
                        + ", score " + c.score() + ")");
            }
            if (!r.duplicates().isEmpty() && !allowDuplicate) {
                throw new CliException(ExitCode.NOTHING_FOUND, "nothing enrolled: the finger is enrolled already "
                        + "under another code (--allow-duplicate enrolls it all the same)");
            }
            // Every touch: the finger is found more often than from one template.
            java.util.List<Enrollment> all = new java.util.ArrayList<>();
            for (byte[] t : r.touches()) {
                all.add(new Enrollment(code, finger, t));
            }
            long[] ids = b.enrollAll(all);
            int count = b.count();
            out().println("enrolled the finger on reader " + reader + " as templates " + ids[0] + " to "
                    + ids[ids.length - 1] + " (code "
                    + Matching.printable(code) + ", finger " + finger + (r.quality() >= 0 ? ", quality "
                    + r.quality() : "") + "); the base " + Matching.baseFile(base).toAbsolutePath() + " holds "
                    + count + (count == 1 ? " template" : " templates"));
        }
        return ExitCode.OK;
    }
}
