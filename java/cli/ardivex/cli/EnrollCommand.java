package ardivex.cli;

import ardivex.matching.FingerprintBase;
import java.nio.file.Path;
import picocli.CommandLine.Command;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;

/** {@code enroll}: adds a fingerprint to a base file. */
@Command(name = "enroll", mixinStandardHelpOptions = true,
        description = {"Adds a fingerprint to a base file under a code (a person, a card...) and a finger.",
                "The fingerprint is an 8-bit grey BMP image, whose template is extracted as extract does, or an "
                + "NFRecord template file. The base is created when missing; enrolling the same code and finger "
                + "again keeps both templates."})
public final class EnrollCommand extends CliCommand {
    @Option(names = "--base", required = true, paramLabel = "FILE",
            description = "The base: FILE.mv.db (an H2 database; the ending may be left out).")
    Path base;

    @Option(names = "--code", required = true, paramLabel = "CODE",
            description = "The code to enroll under, 1 to " + FingerprintBase.MAX_CODE_LENGTH + " characters.")
    String code;

    @Option(names = "--finger", required = true, paramLabel = "N",
            description = "The finger, 0 to " + FingerprintBase.MAX_FINGER + ".")
    int finger;

    @Parameters(index = "0", paramLabel = "IMAGE|TEMPLATE", description = "An image (.bmp) or a template (.nfr).")
    Path input;

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
        // The input first: a wrong file must not leave an empty base behind.
        byte[] template = TemplateFiles.load(input);
        try (FingerprintBase b = Matching.open(base, true)) {
            long id = b.enroll(code, finger, template);
            out().println("enrolled " + input + " as template " + id + " (code " + code + ", finger " + finger
                    + "); the base " + Matching.baseFile(base).toAbsolutePath() + " holds " + b.count()
                    + (b.count() == 1 ? " template" : " templates"));
        }
        return ExitCode.OK;
    }
}
