import java.awt.BorderLayout;
import java.awt.Dimension;
import java.awt.GridLayout;
import javax.swing.*;
import javax.swing.table.DefaultTableModel;
import javax.swing.tree.DefaultMutableTreeNode;

/** Builds the components of a typical application window without showing it (headless). */
public class SwingWindow {
  public static void main(String[] args) {
    JPanel window = new JPanel(new BorderLayout());
    JMenuBar menus = new JMenuBar();
    for (String name : new String[] {"File", "Edit", "View", "Help"}) {
      JMenu menu = new JMenu(name);
      for (int i = 0; i < 8; i++) menu.add(new JMenuItem(name + " item " + i));
      menus.add(menu);
    }
    JPanel form = new JPanel(new GridLayout(0, 2));
    for (int i = 0; i < 20; i++) {
      form.add(new JLabel("Field " + i));
      form.add(i % 3 == 0 ? new JComboBox<>(new String[] {"a", "b", "c"})
               : i % 3 == 1 ? new JCheckBox("on") : new JTextField(20));
    }
    DefaultTableModel model = new DefaultTableModel(new String[] {"Name", "Size", "Kind"}, 0);
    for (int i = 0; i < 100; i++) model.addRow(new Object[] {"row " + i, i * 1024, "file"});
    DefaultMutableTreeNode root = new DefaultMutableTreeNode("root");
    for (int i = 0; i < 30; i++) root.add(new DefaultMutableTreeNode("node " + i));
    JSplitPane split = new JSplitPane(JSplitPane.HORIZONTAL_SPLIT, new JScrollPane(new JTree(root)),
        new JTabbedPane());
    ((JTabbedPane) split.getRightComponent()).addTab("Table", new JScrollPane(new JTable(model)));
    ((JTabbedPane) split.getRightComponent()).addTab("Form", form);
    ((JTabbedPane) split.getRightComponent()).addTab("Text", new JScrollPane(new JTextArea(20, 60)));
    window.add(menus, BorderLayout.NORTH);
    window.add(split, BorderLayout.CENTER);
    window.add(new JProgressBar(), BorderLayout.SOUTH);
    window.setSize(new Dimension(1024, 768));
    window.doLayout();
    Dimension preferred = window.getPreferredSize();
    System.out.println("window " + preferred.width + "x" + preferred.height);
    // Without it the toolkit's shutdown waits a second for events that never come, which would
    // drown what the start costs.
    System.exit(0);
  }
}
