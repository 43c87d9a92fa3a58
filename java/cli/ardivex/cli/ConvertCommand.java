package ardivex.cli;

import ardivex.templates.FingerMinutiaeRecord;
import ardivex.templates.MinutiaeRecordException;
import ardivex.templates.RecordOptions;
import java.nio.file.Path;
import java.util.List;
import java.util.Locale;
import picocli.CommandLine.Command;
import picocli.CommandLine.Option;
import picocli.CommandLine.ParameterException;
import picocli.CommandLine.Parameters;

/** {@code convert}: a template as an NFRecord file or a standard finger minutiae record. */
@Command(name = "convert", mixinStandardHelpOptions = true,
        description = {"Converts a fingerprint template between NFRecord and the ISO/IEC 19794-2:2005 and ANSI "
                + "INCITS 378-2004 finger minutiae records.",
                "IN is an NFRecord template, a record of either standard (recognised by its content, not its "
                + "name) or an image (PNG, JPEG, TIFF, BMP or GIF, in grey or colour), whose template is extracted "
                + "as extract does. A record with "
                + "several finger views gives its first unless --view names another.",
                "A record written holds one finger view with the template's minutiae (position, type, angle, "
                + "quality), the image size and resolution, and ridge counts from which a reader recovers the "
                + "template's ridge periods.",
                "An existing output file is replaced only with --force; the input never is."})
public final class ConvertCommand extends CliCommand {
    @Parameters(index = "0", paramLabel = "IN", description = "The template, record or image.")
    Path input;

    @Parameters(index = "1", paramLabel = "OUT", description = "The file to write.")
    Path output;

    @Option(names = "--to", required = true, paramLabel = "iso|ansi|nfrecord",
            description = "What to write: an ISO/IEC 19794-2:2005 record, an ANSI INCITS 378-2004 record or an "
                    + "NFRecord template.")
    String to;

    @Option(names = "--view", paramLabel = "N", defaultValue = "0",
            description = "The finger view of a record to read: 0 for the first (default), 1 for the second...")
    int view;

    @Option(names = "--finger", paramLabel = "N",
            description = "The finger position a record written names: 0 unknown (default), 1 to 10 right thumb "
                    + "to left little finger.")
    Integer finger;

    @Option(names = "--force", description = "Replace the output file if it exists (never the input).")
    boolean force;

    @Override
    protected int run() throws Exception {
        String target = to.toLowerCase(Locale.ROOT);
        if (!List.of("iso", "ansi", "nfrecord").contains(target)) {
            throw new ParameterException(spec.commandLine(), "--to must be iso, ansi or nfrecord, not '" + to + "'");
        }
        RecordOptions options = RecordOptions.DEFAULT;
        if (finger != null) {
            if (target.equals("nfrecord")) {
                throw new ParameterException(spec.commandLine(), "--finger names the finger of a record written; "
                        + "an NFRecord template has no place for it");
            }
            try {
                options = options.withFingerPosition(finger);
            } catch (IllegalArgumentException e) {
                throw new ParameterException(spec.commandLine(), "--finger must be 0 to 10, not " + finger);
            }
        }
        Outputs.check(List.of(output), List.of(input), force);
        TemplateFiles.Input in = TemplateFiles.read(input, view);
        if (view != 0 && !in.kind.endsWith(" record")) {
            throw new CliException(ExitCode.USAGE, "--view names a finger view of a record; " + input + " is "
                    + in.kind);
        }
        byte[] template = in.template.getData();
        byte[] written;
        String what;
        try {
            if (target.equals("iso")) {
                written = FingerMinutiaeRecord.toIso(template, options);
                what = "an ISO/IEC 19794-2:2005 record";
            } else if (target.equals("ansi")) {
                written = FingerMinutiaeRecord.toAnsi(template, options);
                what = "an ANSI INCITS 378-2004 record";
            } else {
                written = template;
                what = "an NFRecord template";
            }
        } catch (MinutiaeRecordException e) {
            throw new CliException(ExitCode.USAGE, input + " cannot be written as a record: " + e.getMessage());
        }
        Outputs.write(output, written, force);
        int minutiae = TemplateFiles.minutiae(in.template);
        out().println(input + " (" + in.kind + ", " + minutiae + (minutiae == 1 ? " minutia" : " minutiae")
                + ") -> " + output.toAbsolutePath() + " (" + what + ", " + written.length + " bytes)");
        return ExitCode.OK;
    }
}
