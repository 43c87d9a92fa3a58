package ardivex.cli;

import ardivex.matching.Candidate;
import ardivex.matching.FingerprintBase;
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
                "The fingerprint is an 8-bit grey BMP image, whose template is extracted as extract does, or an "
                + "NFRecord template file. A candidate scores at least the threshold of the false match rate "
                + "(see verify)."},
        footerHeading = "%nExit codes:%n",
        footer = {"  0  one candidate or more", "  1  no candidate",
                "  2  usage, a missing base, or an input that is neither an image nor a template",
                "  3  failure while running"})
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

    @Parameters(index = "0", paramLabel = "IMAGE|TEMPLATE", description = "An image (.bmp) or a template (.nfr).")
    Path input;

    @Override
    protected int run() throws Exception {
        if (max < 1) {
            throw new CliException(ExitCode.USAGE, "--max must be 1 or more");
        }
        int least = NFMatcher.threshold(Matching.rate(spec.commandLine(), rate));
        byte[] template = TemplateFiles.load(input);
        try (FingerprintBase b = Matching.open(base, false)) {
            int enrolled = b.count();
            List<Candidate> found = b.identify(template, max, least);
            String among = " among " + enrolled + (enrolled == 1 ? " template" : " templates") + " (least score "
                    + least + ", the threshold at " + rate + ")";
            if (found.isEmpty()) {
                out().println("no candidate" + among);
                return ExitCode.NOTHING_FOUND;
            }
            out().println(found.size() + (found.size() == 1 ? " candidate" : " candidates") + among + ":");
            out().println(String.format(Locale.ROOT, "  %4s %6s %8s %6s  %s", "#", "score", "id", "finger", "code"));
            int n = 0;
            for (Candidate c : found) {
                out().println(String.format(Locale.ROOT, "  %4d %6d %8d %6d  %s", ++n, c.score(), c.id(), c.finger(),
                        c.code()));
            }
            return ExitCode.OK;
        }
    }
}
