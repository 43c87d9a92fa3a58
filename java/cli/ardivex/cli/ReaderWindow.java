package ardivex.cli;

import ardivex.fingers.NFExtractor;
import ardivex.images.NImage;
import ardivex.matching.Candidate;
import ardivex.matching.Enrollment;
import ardivex.matching.FingerprintBase;
import ardivex.matching.GuidedEnrollment;
import ardivex.matching.NFMatcher;
import ardivex.scanners.FingerListener;
import ardivex.scanners.ReaderListener;
import ardivex.scanners.Scanner;
import ardivex.scanners.ScannerMan;
import java.awt.BorderLayout;
import java.awt.Color;
import java.awt.Dimension;
import java.awt.Font;
import java.awt.Graphics;
import java.awt.GridBagConstraints;
import java.awt.GridBagLayout;
import java.awt.Insets;
import java.awt.datatransfer.DataFlavor;
import java.awt.event.KeyEvent;
import java.awt.event.WindowAdapter;
import java.awt.event.WindowEvent;
import java.awt.image.BufferedImage;
import java.io.File;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicReference;
import javax.swing.AbstractAction;
import javax.swing.BorderFactory;
import javax.swing.DefaultListModel;
import javax.swing.JButton;
import javax.swing.JComponent;
import javax.swing.JFileChooser;
import javax.swing.JFrame;
import javax.swing.JLabel;
import javax.swing.JList;
import javax.swing.JPanel;
import javax.swing.JProgressBar;
import javax.swing.JScrollPane;
import javax.swing.JSpinner;
import javax.swing.JTextField;
import javax.swing.KeyStroke;
import javax.swing.ListSelectionModel;
import javax.swing.SpinnerNumberModel;
import javax.swing.SwingUtilities;
import javax.swing.TransferHandler;

/**
 * The desktop window: the readers (kept up to date as they are plugged and
 * unplugged), the live image of the chosen one with its minutiae, guided
 * enrollment into a base, identification of the next touch, and verification
 * of two files dropped on it (or chosen with Verify files).
 *
 * <p>Threads: Swing components are touched on the event dispatch thread only.
 * Capture, extraction and the base run elsewhere: enrollment, identification
 * and verification on one worker thread, the live image's minutiae on a
 * second one that skips images while it is busy; results come back through
 * {@code invokeLater}.
 */
final class ReaderWindow {
    static final String TITLE = "dactylink";

    private final FingerprintBase base;
    private final String baseName;
    private final ExecutorService worker = Executors.newSingleThreadExecutor(r -> daemon(r, "dactylink window worker"));
    private final ExecutorService live = Executors.newSingleThreadExecutor(r -> daemon(r, "dactylink live image"));
    private final AtomicBoolean liveBusy = new AtomicBoolean();
    private final AtomicReference<GuidedEnrollment> running = new AtomicReference<>();

    final JFrame frame = new JFrame(TITLE);
    private final DefaultListModel<String> readerIds = new DefaultListModel<>();
    private final JList<String> readers = new JList<>(readerIds);
    private final ImagePanel image = new ImagePanel();
    private final JLabel finger = new JLabel("No finger");
    private final JProgressBar quality = new JProgressBar(0, 100);
    private final JLabel hint = new JLabel("Choose a reader");
    private final JTextField code = new JTextField(14);
    private final JSpinner fingerNo = new JSpinner(new SpinnerNumberModel(1, 0, FingerprintBase.MAX_FINGER, 1));
    private final JButton enroll = new JButton("Enroll");
    private final JButton identify = new JButton("Identify");
    private final JButton cancel = new JButton("Cancel");
    private final JButton verify = new JButton("Verify files...");
    private final DefaultListModel<String> results = new DefaultListModel<>();
    final JList<String> resultList = new JList<>(results); // read by the window's test

    Scanner current; // on the EDT only
    private final Scanner.ScanListener imageListener = this::imageArrived;
    private final FingerListener fingerListener = new FingerListener() {
        @Override
        public void fingerPlaced(Scanner s) {
            SwingUtilities.invokeLater(() -> finger.setText("Finger on the reader"));
        }

        @Override
        public void fingerLifted(Scanner s) {
            SwingUtilities.invokeLater(() -> finger.setText("No finger"));
        }
    };
    private final ReaderListener readerListener = new ReaderListener() {
        @Override
        public void readerAdded(Scanner s, String id) {
            SwingUtilities.invokeLater(() -> {
                if (!readerIds.contains(id)) {
                    readerIds.addElement(id);
                }
                if (readers.getSelectedIndex() < 0) {
                    readers.setSelectedIndex(0);
                }
            });
        }

        @Override
        public void readerRemoved(Scanner s, String id) {
            SwingUtilities.invokeLater(() -> readerIds.removeElement(id));
        }
    };

    private static Thread daemon(Runnable r, String name) {
        Thread t = new Thread(r, name);
        t.setDaemon(true);
        return t;
    }

    /**
     * Makes every Swing font {@code factor} times larger, before the window is
     * built: larger text for those who need it, and 150 % text where the
     * display cannot scale by fractions (X11 scales by whole numbers only).
     */
    static void scaleFonts(float factor) {
        javax.swing.UIDefaults d = javax.swing.UIManager.getLookAndFeelDefaults();
        for (Object key : new ArrayList<>(d.keySet())) {
            Object v = d.get(key);
            if (v instanceof Font) {
                Font f = (Font) v;
                d.put(key, new javax.swing.plaf.FontUIResource(f.deriveFont(f.getSize2D() * factor)));
            }
        }
    }

    ReaderWindow(FingerprintBase base, String baseName) {
        this.base = base;
        this.baseName = baseName;
    }

    /** Builds and shows the window; call on the event dispatch thread. */
    void show() {
        frame.setDefaultCloseOperation(JFrame.DISPOSE_ON_CLOSE);
        frame.addWindowListener(new WindowAdapter() {
            @Override
            public void windowClosed(WindowEvent e) {
                close();
            }
        });
        Font big = hint.getFont().deriveFont(Font.BOLD, hint.getFont().getSize2D() * 1.4f);
        hint.setFont(big);
        hint.getAccessibleContext().setAccessibleName("Instructions");

        readers.setSelectionMode(ListSelectionModel.SINGLE_SELECTION);
        readers.setVisibleRowCount(4);
        readers.getAccessibleContext().setAccessibleName("Readers");
        readers.addListSelectionListener(e -> {
            if (!e.getValueIsAdjusting()) {
                choose(readers.getSelectedValue());
            }
        });
        JLabel readersLabel = new JLabel("Readers:");
        readersLabel.setDisplayedMnemonic(KeyEvent.VK_R);
        readersLabel.setLabelFor(readers);

        quality.setStringPainted(true);
        quality.setString("quality: no image");
        quality.setPreferredSize(new Dimension(260, quality.getPreferredSize().height));
        quality.getAccessibleContext().setAccessibleName("Image quality");

        JLabel codeLabel = new JLabel("Code:");
        codeLabel.setDisplayedMnemonic(KeyEvent.VK_C);
        codeLabel.setLabelFor(code);
        JLabel fingerLabel = new JLabel("Finger:");
        fingerLabel.setDisplayedMnemonic(KeyEvent.VK_F);
        fingerLabel.setLabelFor(fingerNo);
        enroll.setMnemonic(KeyEvent.VK_E);
        identify.setMnemonic(KeyEvent.VK_I);
        verify.setMnemonic(KeyEvent.VK_V);
        cancel.setMnemonic(KeyEvent.VK_A);
        cancel.setEnabled(false);
        enroll.addActionListener(e -> startEnroll());
        identify.addActionListener(e -> startIdentify());
        cancel.addActionListener(e -> cancelRunning());
        verify.addActionListener(e -> chooseFiles());
        frame.getRootPane().getInputMap(JComponent.WHEN_IN_FOCUSED_WINDOW)
                .put(KeyStroke.getKeyStroke(KeyEvent.VK_ESCAPE, 0), "cancel");
        frame.getRootPane().getActionMap().put("cancel", new AbstractAction() {
            private static final long serialVersionUID = 1L;

            @Override
            public void actionPerformed(java.awt.event.ActionEvent e) {
                cancelRunning();
            }
        });
        JLabel resultsLabel = new JLabel("Results:");
        resultsLabel.setDisplayedMnemonic(KeyEvent.VK_S);
        resultsLabel.setLabelFor(resultList);
        resultList.setVisibleRowCount(6);
        resultList.getAccessibleContext().setAccessibleName("Results");

        JPanel side = new JPanel(new GridBagLayout());
        GridBagConstraints c = new GridBagConstraints();
        c.gridx = 0;
        c.gridwidth = 2;
        c.fill = GridBagConstraints.HORIZONTAL;
        c.insets = new Insets(4, 6, 4, 6);
        c.weightx = 1;
        side.add(readersLabel, c);
        JScrollPane readersPane = new JScrollPane(readers);
        // Never squeezed below its rows when the text is large.
        readersPane.setMinimumSize(readersPane.getPreferredSize());
        side.add(readersPane, c);
        side.add(new JLabel("Base: " + baseName), c);
        c.gridwidth = 1;
        addRow(side, c, 3, codeLabel, code);
        addRow(side, c, 4, fingerLabel, fingerNo);
        addRow(side, c, 5, enroll, identify);
        addRow(side, c, 6, cancel, verify);
        c.gridy = GridBagConstraints.RELATIVE;
        c.gridwidth = 2;
        side.add(resultsLabel, c);
        c.fill = GridBagConstraints.BOTH;
        c.weighty = 1;
        side.add(new JScrollPane(resultList), c);

        JPanel centre = new JPanel(new BorderLayout(4, 4));
        centre.add(image, BorderLayout.CENTER);
        JPanel meters = new JPanel(new BorderLayout(6, 0));
        meters.add(finger, BorderLayout.WEST);
        meters.add(quality, BorderLayout.CENTER);
        centre.add(meters, BorderLayout.SOUTH);

        JPanel root = new JPanel(new BorderLayout(8, 8));
        root.setBorder(BorderFactory.createEmptyBorder(8, 8, 8, 8));
        root.add(hint, BorderLayout.NORTH);
        root.add(centre, BorderLayout.CENTER);
        root.add(side, BorderLayout.EAST);
        frame.setContentPane(root);
        // Two files dropped anywhere on the window are verified against each other.
        root.setTransferHandler(new TransferHandler() {
            private static final long serialVersionUID = 1L;

            @Override
            public boolean canImport(TransferSupport s) {
                return s.isDataFlavorSupported(DataFlavor.javaFileListFlavor);
            }

            @Override
            public boolean importData(TransferSupport s) {
                try {
                    @SuppressWarnings("unchecked")
                    List<File> files = (List<File>) s.getTransferable().getTransferData(DataFlavor.javaFileListFlavor);
                    verifyFiles(files);
                    return true;
                } catch (Exception e) {
                    return false;
                }
            }
        });
        frame.pack();
        frame.setLocationByPlatform(true);
        frame.setVisible(true);
        readers.requestFocusInWindow();
        ScannerMan.addReaderListener(readerListener);
        // The readers there now; the watch tells of those that come and go.
        worker.submit(() -> {
            List<String> ids = new ArrayList<>();
            for (Scanner s : ScannerMan.getScanners()) {
                ids.add(s.getID());
            }
            SwingUtilities.invokeLater(() -> ids.forEach(id -> readerListener.readerAdded(null, id)));
            return null;
        });
    }

    // Switches the live image to the reader `id` (null: none); the scanner
    // work runs on the worker.
    private void choose(String id) {
        Scanner before = current;
        current = null;
        worker.submit(() -> {
            release(before);
            if (id == null) {
                return null;
            }
            for (Scanner s : ScannerMan.getScanners()) {
                if (s.getID().equals(id)) {
                    s.addScanListener(imageListener);
                    s.addFingerListener(fingerListener);
                    s.startCapturing();
                    SwingUtilities.invokeLater(() -> {
                        current = s;
                        hint.setText("Place a finger on " + id + ", or Enroll or Identify");
                    });
                }
            }
            return null;
        });
    }

    // On the library's thread: the newest image goes to the live view, its
    // minutiae drawn by the live thread when it is free.
    private void imageArrived(Scanner s, Scanner.ScanEvent e) {
        if (e.image == null || !liveBusy.compareAndSet(false, true)) {
            return;
        }
        NImage img = new NImage(e.image.width, e.image.height, e.image.buffer);
        live.submit(() -> {
            try {
                BufferedImage picture;
                try {
                    ardivex.templates.NFRecord r = extractor().extract(img);
                    picture = Overlay.render(img, r);
                    ardivex.images.ImageQuality q = r.getImageQuality();
                    SwingUtilities.invokeLater(() -> showQuality(q));
                } catch (Exception noTemplate) {
                    picture = new BufferedImage(img.getWidth(), img.getHeight(), BufferedImage.TYPE_BYTE_GRAY);
                    picture.getRaster().setDataElements(0, 0, img.getWidth(), img.getHeight(), img.getBuffer());
                }
                BufferedImage shown = picture;
                SwingUtilities.invokeLater(() -> image.show(shown));
            } catch (Exception ignored) {
                // the next image is drawn instead
            } finally {
                liveBusy.set(false);
            }
        });
    }

    private NFExtractor extractor;

    private void showQuality(ardivex.images.ImageQuality q) {
        quality.setValue(q.score());
        quality.setForeground(q.score() >= GuidedEnrollment.DEFAULT_MIN_QUALITY ? new Color(0, 140, 0)
                : new Color(200, 60, 0));
        quality.setString("quality " + q.score() + (q.hints().isEmpty() ? "" : ": " + q.hints().get(0).message()));
    }

    private synchronized NFExtractor extractor() throws Exception {
        if (extractor == null) {
            extractor = new NFExtractor();
        }
        return extractor;
    }

    private void busy(boolean on) {
        enroll.setEnabled(!on);
        identify.setEnabled(!on);
        verify.setEnabled(!on);
        cancel.setEnabled(on);
    }

    private GuidedEnrollment guide() throws Exception {
        GuidedEnrollment g = new GuidedEnrollment(extractor()).progress((step, touch, of, message) ->
                SwingUtilities.invokeLater(() -> hint.setText(of > 1 ? "Touch " + touch + " of " + of + ": "
                        + message : message)));
        running.set(g);
        return g;
    }

    private void startEnroll() {
        Scanner s = current;
        String who = code.getText().trim();
        int f = (Integer) fingerNo.getValue();
        if (s == null) {
            hint.setText("Choose a reader first");
            return;
        }
        try {
            Enrollment.checkCode(who);
        } catch (IllegalArgumentException e) {
            hint.setText("Enter a code to enroll under: " + e.getMessage());
            code.requestFocusInWindow();
            return;
        }
        busy(true);
        results.clear();
        worker.submit(() -> {
            String outcome;
            try {
                GuidedEnrollment.Result r = guide().checkAgainst(base, who).enroll(s);
                if (!r.duplicates().isEmpty()) {
                    Candidate d = r.duplicates().get(0);
                    outcome = "Not enrolled: this finger is enrolled already under " + d.code() + " (finger "
                            + d.finger() + ", score " + d.score() + ")";
                } else {
                    List<Enrollment> all = new ArrayList<>();
                    for (byte[] t : r.touches()) {
                        all.add(new Enrollment(who, f, t)); // every touch: found more often than one
                    }
                    long[] ids = base.enrollAll(all);
                    outcome = "Enrolled " + who + ", finger " + f + " (" + ids.length + " touches, quality "
                            + r.quality() + ")";
                }
            } catch (GuidedEnrollment.EnrollmentException e) {
                outcome = "Not enrolled: " + e.getMessage();
            } catch (Exception e) {
                outcome = "Enrollment failed: " + CliCommand.describe(e);
            }
            finish(outcome);
            return null;
        });
    }

    private void startIdentify() {
        Scanner s = current;
        if (s == null) {
            hint.setText("Choose a reader first");
            return;
        }
        busy(true);
        results.clear();
        worker.submit(() -> {
            String outcome;
            try {
                byte[] t = guide().takeOne(s);
                int least = NFMatcher.threshold(1e-3);
                List<Candidate> found = base.identify(t, 5, least);
                List<String> lines = new ArrayList<>();
                for (Candidate c : found) {
                    lines.add(String.format(Locale.ROOT, "%s, finger %d: score %d", c.code(), c.finger(), c.score()));
                }
                SwingUtilities.invokeLater(() -> lines.forEach(results::addElement));
                outcome = found.isEmpty() ? "Not found in the base" : "Identified: " + found.get(0).code();
            } catch (GuidedEnrollment.EnrollmentException e) {
                outcome = "Not identified: " + e.getMessage();
            } catch (Exception e) {
                outcome = "Identification failed: " + CliCommand.describe(e);
            }
            finish(outcome);
            return null;
        });
    }

    private void finish(String outcome) {
        running.set(null);
        SwingUtilities.invokeLater(() -> {
            hint.setText(outcome);
            results.add(0, outcome);
            busy(false);
        });
    }

    private void cancelRunning() {
        GuidedEnrollment g = running.get();
        if (g != null) {
            g.cancel();
        }
    }

    private void chooseFiles() {
        JFileChooser chooser = new JFileChooser();
        chooser.setMultiSelectionEnabled(true);
        chooser.setDialogTitle("Two fingerprint files to compare");
        if (chooser.showOpenDialog(frame) == JFileChooser.APPROVE_OPTION) {
            verifyFiles(List.of(chooser.getSelectedFiles()));
        }
    }

    private void verifyFiles(List<File> files) {
        if (files.size() != 2) {
            hint.setText("Drop two files to compare, not " + files.size());
            return;
        }
        busy(true);
        worker.submit(() -> {
            String outcome;
            try {
                Path a = files.get(0).toPath();
                Path b = files.get(1).toPath();
                int score = new NFMatcher().verify(TemplateFiles.load(a), TemplateFiles.load(b));
                int least = NFMatcher.threshold(1e-3);
                outcome = (score >= least ? "Match" : "No match") + ": " + a.getFileName() + " and " + b.getFileName()
                        + " score " + score + " (threshold " + least + ")";
            } catch (Exception e) {
                outcome = "Cannot compare: " + CliCommand.describe(e);
            }
            finish(outcome);
            return null;
        });
    }

    private void close() {
        cancelRunning();
        ScannerMan.removeReaderListener(readerListener);
        Scanner s = current;
        current = null;
        worker.submit(() -> {
            release(s);
            return null;
        });
        worker.shutdown();
        live.shutdown();
    }

    /** The live image, scaled to fit. */
    private static final class ImagePanel extends JPanel {
        private static final long serialVersionUID = 1L;
        private transient BufferedImage picture;

        ImagePanel() {
            setPreferredSize(new Dimension(320, 450));
            getAccessibleContext().setAccessibleName("Live image with its minutiae");
        }

        void show(BufferedImage p) {
            picture = p;
            repaint();
        }

        @Override
        protected void paintComponent(Graphics g) {
            g.setColor(Color.WHITE);
            g.fillRect(0, 0, getWidth(), getHeight());
            BufferedImage p = picture;
            if (p == null) {
                g.setColor(Color.GRAY);
                g.drawString("No image yet", 10, 20);
                return;
            }
            double k = Math.min((double) getWidth() / p.getWidth(), (double) getHeight() / p.getHeight());
            int w = (int) (p.getWidth() * k);
            int h = (int) (p.getHeight() * k);
            g.drawImage(p, (getWidth() - w) / 2, (getHeight() - h) / 2, w, h, null);
        }
    }

    // One row of the side panel: two components in the two columns.
    private static void addRow(JPanel panel, GridBagConstraints c, int row, java.awt.Component left,
            java.awt.Component right) {
        c.gridy = row;
        c.gridx = 0;
        panel.add(left, c);
        c.gridx = 1;
        panel.add(right, c);
        c.gridx = 0;
    }

    // Stops the live image of a reader (on the worker); null: nothing to do.
    private void release(Scanner s) throws Exception {
        if (s != null) {
            s.removeScanListener(imageListener);
            s.removeFingerListener(fingerListener);
            s.stopCapturing();
        }
    }
}
