// TavikSmsDll from C#, late-bound through dynamic (no interop assembly, no reference), the whole
// job: log in, send an SMS to two recipients and an MMS with a picture, reserve a message and
// cancel it, wait for the delivery results and read them back (each is acknowledged as it is
// written, so the next call does not list it again), log out.
//
//   csc /r:Microsoft.CSharp.dll ExampleDynamic.cs ExportFile.cs
//   ExampleDynamic.exe USER PASSWORD [PICTURE.JPG]
//
// PICTURE.JPG defaults to Photo1.JPG beside the program. The export files (sms1.txt, sms2.txt)
// are written to the current folder. A program built for "Any CPU" runs 64-bit on 64-bit Windows
// and uses x64\TavikSmsDll.dll; build with /platform:x86 to use the x86 DLL. Exit status: 0 when
// every step succeeded, 1 when one failed, 2 for wrong arguments.
using System;
using System.IO;
using System.Runtime.InteropServices;
using System.Threading;

static class ExampleDynamic
{
    const string Sender = "0212345678";
    static bool failed;

    // A method's text result: "OK", or a failure text meant for the user. Prints either.
    static bool Succeeded(string what, string result)
    {
        if (result == "OK")
        {
            Console.WriteLine(what + ": OK");
            return true;
        }
        Console.WriteLine(what + " failed: " + result);
        failed = true;
        return false;
    }

    // Main is [STAThread], so the object lives on this thread; without it COM puts the object in
    // a thread of its own and hands back a proxy, which works as well.
    [STAThread]
    static int Main(string[] args)
    {
        if (args.Length < 2)
        {
            Console.Error.WriteLine("usage: ExampleDynamic USER PASSWORD [PICTURE.JPG]");
            return 2;
        }
        string picture = args.Length > 2 ? args[2]
            : Path.Combine(AppDomain.CurrentDomain.BaseDirectory, "Photo1.JPG");
        // Custom_id is the host's own key for a message; the results carry it back.
        string tag = "cs" + (Environment.TickCount & 0x7FFFFFFF) % 100000;

        Type type = Type.GetTypeFromProgID("TavikSmsDll.TavikSms", true);
        dynamic sms = Activator.CreateInstance(type);
        try
        {
            // "OK", or the service's own text (a wrong password, a blocked user), or
            // "IP Download Error" / "False" when the service cannot be reached.
            if (!Succeeded("Login", sms.Login(args[0], args[1]))) return 1;
            Console.WriteLine("Balance: " + sms.SmsJanek());

            // One SMS to two recipients (';' ',' or ':' separate them); no reservation time: now.
            Succeeded("SmsSend to 2 recipients", sms.SmsSend("", Sender, tag + "-sms", "홍길동",
                "01012345678;01087654321", "안녕하세요, C# 예제입니다.", 0, ""));

            // An MMS: the picture is uploaded first, then named in the message by the same path.
            bool mmsSent = false;
            if (Succeeded("FTP_Upload " + Path.GetFileName(picture), sms.FTP_Upload(picture)))
            {
                mmsSent = Succeeded("MmsSend", sms.MmsSend("", Sender, tag + "-mms", "홍길동",
                    "01012345678", "사진", "C# 예제의 사진", picture, "", "", ""));
            }
            sms.FTP_DisConnect();

            // A reservation (yyMMddHHmm: 31 December 2030, 23:59), found in sms2.txt, cancelled.
            int reservation = 0;
            if (Succeeded("Reserved SmsSend", sms.SmsSend("", Sender, tag + "-rsv", "홍길동",
                    "01012345678", "새해 인사", 0, "3012312359")) &&
                Succeeded("YaeyakData", sms.YaeyakData()))
            {
                foreach (ExportRecord r in ExportFile.Read("sms2.txt"))
                    if (r.CustomId == tag + "-rsv") reservation = (int)r.Id;
            }
            if (reservation != 0)
            {
                // YaeyakDelete is one of the methods whose failure is a COMException, not a text.
                try
                {
                    Succeeded("YaeyakDelete " + reservation, sms.YaeyakDelete(reservation));
                }
                catch (COMException e)
                {
                    Console.WriteLine("YaeyakDelete " + reservation + " failed: error 0x" +
                                      e.ErrorCode.ToString("X8") + ": " + e.Message);
                    failed = true;
                }
            }

            // Delivery results arrive some seconds later. SmsResult1 writes the ones not yet
            // handed over to sms1.txt and acknowledges them; earlier ones come too.
            int expected = mmsSent ? 3 : 2, seen = 0;
            DateTime deadline = DateTime.UtcNow.AddSeconds(120);
            Console.WriteLine("Waiting for " + expected + " results ...");
            while (seen < expected && Succeeded("SmsResult1", sms.SmsResult1()))
            {
                foreach (ExportRecord r in ExportFile.Read("sms1.txt"))
                {
                    Console.WriteLine("result " + r.Id + " to " + r.CustomTel + " (" + r.CustomId +
                                      "): code " + r.ResultCode + " " + r.ResultMsg + ", fee " +
                                      r.Fee2 + ", sent " + r.STime);
                    if (r.CustomId.StartsWith(tag + "-", StringComparison.Ordinal)) seen++;
                }
                if (seen >= expected) break;
                if (DateTime.UtcNow > deadline)
                {
                    Console.WriteLine("no more results after 120 s: " + seen + " of " + expected);
                    failed = true;
                    break;
                }
                Thread.Sleep(2000);
            }

            Console.WriteLine("Balance: " + sms.SmsJanek());
            Succeeded("Logout", sms.Logout());
            return failed ? 1 : 0;
        }
        catch (COMException e)
        {
            // Any other failed call: a wrong argument type (0x80020005), a call from another
            // apartment's raw pointer (0x8001010E), ...
            Console.WriteLine("failed: error 0x" + e.ErrorCode.ToString("X8") + ": " + e.Message);
            return 1;
        }
        finally
        {
            Marshal.ReleaseComObject(sms);
        }
    }
}
