import java.net.InetSocketAddress;
import java.net.Socket;
import org.eclipse.jetty.server.Server;
import org.eclipse.jetty.server.handler.ResourceHandler;

/**
 * A thin launcher for an embedded Jetty server: JettyLauncher <port> <dir>
 * serves the files of <dir> on 127.0.0.1:<port>. starting() answers true until
 * the port accepts connections; stop() stops the server, after which the JVM ends.
 */
public class JettyLauncher {
    private static volatile Server server;
    private static volatile int port;

    public static void main(String[] args) throws Exception {
        port = Integer.parseInt(args[0]);
        Server s = new Server(new InetSocketAddress("127.0.0.1", port));
        ResourceHandler files = new ResourceHandler();
        files.setResourceBase(args[1]);
        s.setHandler(files);
        server = s;
        // Jetty starts in the background so that the start-up check has something to wait for.
        new Thread(() -> {
            try {
                Thread.sleep(1500);
                s.start();
                System.out.println("JettyLauncher: serving " + args[1] + " on port " + port);
            } catch (Exception e) {
                e.printStackTrace();
            }
        }, "jetty-starter").start();
    }

    public static boolean starting() {
        try (Socket socket = new Socket()) {
            socket.connect(new InetSocketAddress("127.0.0.1", port), 200);
            return false;
        } catch (Exception e) {
            return true;
        }
    }

    public static void stop() throws Exception {
        System.out.println("JettyLauncher: stopping");
        Server s = server;
        if (s != null) s.stop();
    }
}
