package ardivex.cli;

import ardivex.matching.MatchingException;
import ardivex.matching.NFMatcher;
import ardivex.templates.FingerMinutiaeRecord;
import ardivex.templates.NFRecord;
import java.nio.file.Path;
import picocli.CommandLine.Command;
import picocli.CommandLine.Parameters;

/** {@code info}: the items of a template file. */
@Command(name = "info", mixinStandardHelpOptions = true,
        description = {"Shows the items of an NFRecord template file: minutiae, cores, deltas and double cores; of "
                + "an ISO/IEC 19794-2:2005 or ANSI INCITS 378-2004 finger minutiae record, the minutiae of its first "
                + "finger view.",
                "The image quality (0 to 100, with the engine's advice) is the template's header byte; a record's "
                + "finger quality where the file is a standard record.",
                "Positions are in pixels from the top left corner; angles in the template's 256 steps per "
                + "circle, counter-clockwise from +X, and in degrees; 255 marks a value the template lacks.",
                "A file that is not a valid template or record is refused (exit code 2), naming what is wrong."})
public final class InfoCommand extends CliCommand {
    @Parameters(index = "0", paramLabel = "FILE.nfr", description = "The template or record file.")
    Path file;

    @Override
    protected int run() throws Exception {
        byte[] data = Inputs.read(file);
        NFRecord record;
        if (FingerMinutiaeRecord.isMinutiaeRecord(data) && !TemplateFiles.isTemplate(data)) {
            TemplateFiles.Input in = TemplateFiles.record(data, file, 0);
            record = in.template;
            out().println(file + ": " + data.length + " bytes, " + in.kind + "; the items of its first finger view:");
        } else {
            try {
                NFMatcher.check(data);
            } catch (MatchingException e) {
                String format = Inputs.pictureFormat(data);
                String hint = format == null ? ""
                        : "; it looks like a " + format + " picture: extract makes its template";
                throw new CliException(ExitCode.USAGE, file + " is not a valid NFRecord template: "
                        + TemplateFiles.problem(e) + hint);
            }
            record = new NFRecord(data);
            out().println(file + ": " + data.length + " bytes");
        }
        if (record.getData().length > 16 && (record.getData()[16] & 0xFF) <= 100) {
            out().println(TemplateText.quality(record));
        }
        int items = TemplateText.write(record, out());
        if (items == 0) {
            message("no items in " + file + ": the template is valid but empty");
            return ExitCode.NOTHING_FOUND;
        }
        return ExitCode.OK;
    }
}
