import java.sql.Connection;
import java.sql.DriverManager;
import java.sql.ResultSet;
import java.sql.ResultSetMetaData;
import java.sql.Statement;

/**
 * A tiny JDBC client: HsqlClient <url> <sql>... runs each statement on the
 * server and prints the rows of each query, one line per row, columns joined
 * by ",". Exit code 0 on success, 1 on the first failure.
 */
public class HsqlClient {
    public static void main(String[] args) throws Exception {
        Class.forName("org.hsqldb.jdbc.JDBCDriver");
        try (Connection connection = DriverManager.getConnection(args[0], "SA", "");
             Statement statement = connection.createStatement()) {
            for (int i = 1; i < args.length; i++) {
                if (statement.execute(args[i])) {
                    try (ResultSet rows = statement.getResultSet()) {
                        ResultSetMetaData meta = rows.getMetaData();
                        while (rows.next()) {
                            StringBuilder line = new StringBuilder();
                            for (int c = 1; c <= meta.getColumnCount(); c++) {
                                if (c > 1) line.append(',');
                                line.append(rows.getString(c));
                            }
                            System.out.println(line);
                        }
                    }
                }
            }
        } catch (Exception e) {
            System.err.println("HsqlClient: " + e);
            System.exit(1);
        }
    }
}
