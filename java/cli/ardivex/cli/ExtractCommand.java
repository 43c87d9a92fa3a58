package ardivex.cli;

import ardivex.images.NImage;
import ardivex.templates.NFRecord;
import java.io.IOException;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.List;
import picocli.CommandLine.Command;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;

/** {@code extract}: the template of an image, its counts, and optionally the template file and a picture. */
@Command(name = "extract", mixinStandardHelpOptions = true,
        description = {"Extracts the fingerprint template of an image (500 pixels per inch; PNG, JPEG, TIFF, "
                + "BMP or GIF, colour turned to grey) and shows how many items it holds, and the image quality: "
                + "a score from 0 to 100 that predicts how well the print will match, with advice on taking "
                + "a better picture.",
                "The overlay picture shows the image at twice its size with ridge endings as red circles, "
                + "bifurcations as blue squares (each with its direction), cores green, deltas magenta, "
                + "double cores yellow, and the quality score with its first advice at the top.",
                "An existing output file is replaced only with --force; the image never is. An image without "
                + "minutiae ends with exit code 1 and writes no file."})
public final class ExtractCommand extends CliCommand {
    @Parameters(index = "0", paramLabel = "IMAGE", description = "The image.")
    Path image;

    @Option(names = "--template", paramLabel = "NFR",
            description = "Write the NFRecord template (extended minutiae, every minutia) to the file NFR.")
    Path template;

    @Option(names = "--overlay", paramLabel = "PNG",
            description = "Draw the template's items over the image into the file PNG (a PNG picture).")
    Path overlay;

    @Option(names = "--force",
            description = "Replace output files that exist (never the image itself).")
    boolean force;

    @Override
    protected int run() throws Exception {
        Outputs.check(Arrays.asList(template, overlay), List.of(image), force);
        NImage picture = Inputs.image(image);
        NFRecord record = TemplateFiles.extract(picture, image);
        out().println(image + ": " + picture.getWidth() + " x " + picture.getHeight() + " pixels");
        out().println(TemplateText.counts(record));
        out().println(TemplateText.quality(record));
        // No minutiae: nothing that the matcher could use, so no files either.
        TemplateFiles.usable(record, image);
        byte[] png = null;
        if (overlay != null) {
            try {
                png = Overlay.png(picture, record);
            } catch (IOException e) {
                throw new CliException(ExitCode.FAILURE, "cannot draw " + overlay + " (" + reason(e) + ")");
            }
        }
        if (template != null) {
            Outputs.write(template, record.getData(), force);
            out().println("template " + template.toAbsolutePath() + " (" + record.getData().length + " bytes)");
        }
        if (png != null) {
            Outputs.write(overlay, png, force);
            out().println("overlay " + overlay.toAbsolutePath());
        }
        return ExitCode.OK;
    }
}
