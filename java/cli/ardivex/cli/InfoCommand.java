package ardivex.cli;

import ardivex.templates.NFRecord;
import java.nio.file.Path;
import picocli.CommandLine.Command;
import picocli.CommandLine.Parameters;

/** {@code info}: the items of a template file. */
@Command(name = "info", mixinStandardHelpOptions = true,
        description = {"Shows the items of an NFRecord template file: minutiae, cores, deltas and double cores.",
                "Positions are in pixels from the top left corner; angles in the template's 256 steps per "
                + "circle, counter-clockwise from +X, and in degrees; 255 marks a value the template lacks."})
public final class InfoCommand extends CliCommand {
    @Parameters(index = "0", paramLabel = "FILE.nfr", description = "The template file.")
    Path file;

    @Override
    protected int run() throws Exception {
        byte[] data = Inputs.read(file);
        NFRecord record = new NFRecord(data);
        out().println(file + ": " + data.length + " bytes");
        int items = TemplateText.write(record, out());
        if (items == 0) {
            err().println("no items in " + file + "; is it an NFRecord template?");
            return ExitCode.NOTHING_FOUND;
        }
        return ExitCode.OK;
    }
}
