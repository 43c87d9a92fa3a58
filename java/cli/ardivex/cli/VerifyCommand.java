package ardivex.cli;

import ardivex.matching.NFMatcher;
import java.nio.file.Path;
import picocli.CommandLine.Command;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;

/** {@code verify}: whether two fingerprints are of the same finger. */
@Command(name = "verify", mixinStandardHelpOptions = true,
        description = {"Compares two fingerprints and tells whether they are of the same finger.",
                "Each is an image (PNG, JPEG, TIFF, BMP or GIF, in grey or colour), whose template is extracted "
                + "as extract does, an ISO/IEC 19794-2:2005 or ANSI INCITS 378-2004 finger minutiae record (its "
                + "first finger view), or an NFRecord template file. The score is 0 for nothing in common and higher "
                + "the more alike they are; "
                + "they match when it reaches the threshold of the false match rate: the share of comparisons "
                + "of different fingers allowed to pass."},
        footerHeading = "%nExit codes:%n",
        footer = {"  0  match", "  1  no match",
                "  2  usage, or an input that is neither an image, a record nor a template",
                "  3  failure while running"})
public final class VerifyCommand extends CliCommand {
    @Parameters(index = "0", paramLabel = "A",
            description = "An image (.png, .jpg, .tif, .bmp, .gif), a minutiae record or a template (.nfr).")
    Path first;

    @Parameters(index = "1", paramLabel = "B", description = "Another image, record or template.")
    Path second;

    @Option(names = "--rate", paramLabel = "RATE", defaultValue = Matching.DEFAULT_RATE,
            description = "The false match rate that decides (default ${DEFAULT-VALUE}); 1e-4 is stricter.")
    String rate;

    @Override
    protected int run() throws Exception {
        double r = Matching.rate(spec.commandLine(), rate);
        byte[] a = TemplateFiles.load(first);
        byte[] b = TemplateFiles.load(second);
        int score = new NFMatcher().verify(a, b);
        int threshold = NFMatcher.threshold(r);
        String thresholds = NFMatcher.threshold(1e-3) + " at a false match rate of 1e-3, " + NFMatcher.threshold(1e-4)
                + " at 1e-4";
        if (r != 1e-3 && r != 1e-4) {
            thresholds += ", " + threshold + " at " + rate;
        }
        boolean match = score >= threshold;
        out().println("score:     " + score);
        out().println("threshold: " + thresholds);
        out().println("verdict:   " + (match ? "match" : "no match") + " (" + score + (match ? " >= " : " < ")
                + threshold + ", the threshold at " + rate + ")");
        return match ? ExitCode.OK : ExitCode.NOTHING_FOUND;
    }
}
