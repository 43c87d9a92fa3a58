package ardivex.cli;

import ardivex.images.NImage;
import ardivex.templates.NFRecord;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import picocli.CommandLine.Command;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;

/** {@code extract}: the template of an image, its counts, and optionally the template file and a picture. */
@Command(name = "extract", mixinStandardHelpOptions = true,
        description = {"Extracts the fingerprint template of an 8-bit grey BMP image (500 pixels per inch) "
                + "and shows how many items it holds.",
                "The overlay picture shows the image at twice its size with ridge endings as red circles, "
                + "bifurcations as blue squares (each with its direction), cores green, deltas magenta, "
                + "double cores yellow."})
public final class ExtractCommand extends CliCommand {
    @Parameters(index = "0", paramLabel = "IMAGE.bmp", description = "The image.")
    Path image;

    @Option(names = "--template", paramLabel = "OUT.nfr",
            description = "Write the NFRecord template (extended minutiae, every minutia) to this file.")
    Path template;

    @Option(names = "--overlay", paramLabel = "OUT.png",
            description = "Draw the template's items over the image into this PNG file.")
    Path overlay;

    @Override
    protected int run() throws Exception {
        NImage picture = Inputs.image(image);
        NFRecord record = TemplateFiles.extract(picture, image);
        out().println(image + ": " + picture.getWidth() + " x " + picture.getHeight() + " pixels");
        out().println(TemplateText.counts(record));
        if (template != null) {
            write(template, record.getData());
            out().println("template " + template.toAbsolutePath() + " (" + record.getData().length + " bytes)");
        }
        if (overlay != null) {
            try {
                Overlay.draw(picture, record, overlay);
            } catch (IOException e) {
                throw new CliException(ExitCode.FAILURE, "cannot write " + overlay + " (" + e + ")");
            }
            out().println("overlay " + overlay.toAbsolutePath());
        }
        return ExitCode.OK;
    }

    private static void write(Path file, byte[] data) throws CliException {
        try {
            Files.write(file, data);
        } catch (IOException e) {
            throw new CliException(ExitCode.FAILURE, "cannot write " + file + " (" + e + ")");
        }
    }
}
