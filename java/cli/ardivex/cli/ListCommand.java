package ardivex.cli;

import ardivex.scanners.Scanner;
import java.util.List;
import picocli.CommandLine.Command;

/** {@code list}: the readers, with index and identifier. */
@Command(name = "list", mixinStandardHelpOptions = true,
        description = "Lists the fingerprint readers attached now, with the index that capture --reader takes.")
public final class ListCommand extends CliCommand {
    @Override
    protected int run() throws Exception {
        try {
            List<Scanner> readers = Readers.all();
            out().println(readers.size() + (readers.size() == 1 ? " reader:" : " readers:"));
            for (int i = 0; i < readers.size(); i++) {
                out().println("  [" + i + "] " + readers.get(i).getID());
            }
            if (readers.isEmpty()) {
                message(Readers.NONE_FOUND);
                return ExitCode.NOTHING_FOUND;
            }
            return ExitCode.OK;
        } finally {
            Readers.release();
        }
    }
}
