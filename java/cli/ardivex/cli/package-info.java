/**
 * The command-line tool {@code dactylink} ({@code java -jar dactylink-cli-<version>.jar}).
 *
 * <p>{@link ardivex.cli.Main} holds the list of commands, the exit codes and
 * the help. Each command is a class of its own extending {@link
 * ardivex.cli.CliCommand}: it declares its options with picocli's
 * annotations, does its work in {@code run()} and ends by returning an exit
 * code or throwing a {@link ardivex.cli.CliException} that carries one. A new
 * command is such a class added to the {@code subcommands} of {@code Main}.
 * The pieces that several commands (and the demo) use are classes of their
 * own: {@link ardivex.cli.Capturer} captures images, {@link
 * ardivex.cli.Overlay} draws a template over its image, {@link
 * ardivex.cli.TemplateText} writes a template's items as text and {@link
 * ardivex.cli.Progress} shows progress.
 */
package ardivex.cli;
