/* Calls System.exit(args[0]) after args[1] milliseconds (default 0). */
public class ExitWith {
    public static void main(String[] args) throws Exception {
        int status = args.length > 0 ? Integer.parseInt(args[0]) : 0;
        long delay = args.length > 1 ? Long.parseLong(args[1]) : 0;
        System.out.println("exiting with " + status);
        Thread.sleep(delay);
        System.exit(status);
    }
}
