// The component's export files, sms1.txt (delivery results) and sms2.txt (reservations), read
// into records. Shared by ExampleDynamic.cs and ExampleInterop.cs; use it in your own program.
using System;
using System.Collections.Generic;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;

// One line: fifteen tab-separated fields, in this order.
public sealed class ExportRecord
{
    public long Id;
    public string UserId, SubId, UserTel, CustomTel, CustomId, CustomNam, Msg;
    public int ResultCode;
    public string ResultMsg;
    public string Typ, Kun2, Fee2;  // numbers, as written (Fee2 may carry decimals)
    public string ITime, STime;     // yyyyMMddHHmmss, empty when unknown
}

public static class ExportFile
{
    const int Columns = 15;
    const int MsgColumn = 7;

    [DllImport("kernel32.dll")]
    static extern int GetACP();

    // The files are written in the system's ANSI code page (CP_ACP: 949 on a Korean Windows),
    // which is not Encoding.Default on .NET Core and later.
    public static Encoding AnsiEncoding()
    {
#if NETCOREAPP
        Encoding.RegisterProvider(CodePagesEncodingProvider.Instance);
#endif
        return Encoding.GetEncoding(GetACP());
    }

    // Lines end with CR LF; a line feed inside a value was written as "|", so every CR LF ends
    // a record. A value holding a tab splits into more fields than the file has columns: the
    // message text is the one that may, so the extra fields are joined back into it.
    public static List<ExportRecord> Read(string path)
    {
        var records = new List<ExportRecord>();
        if (!File.Exists(path)) return records;
        string text = File.ReadAllText(path, AnsiEncoding());
        foreach (string line in text.Split(new[] { "\r\n" }, StringSplitOptions.RemoveEmptyEntries))
        {
            var f = new List<string>(line.Split('\t'));
            int extra = f.Count - Columns;
            if (extra > 0)
            {
                f[MsgColumn] = string.Join("\t", f.GetRange(MsgColumn, extra + 1));
                f.RemoveRange(MsgColumn + 1, extra);
            }
            if (f.Count != Columns)
            {
                Console.WriteLine(path + ": a line of " + f.Count + " fields skipped");
                continue;
            }
            records.Add(new ExportRecord
            {
                Id = long.Parse(f[0]),
                UserId = f[1], SubId = f[2], UserTel = f[3], CustomTel = f[4],
                CustomId = f[5], CustomNam = f[6], Msg = f[7],
                ResultCode = int.Parse(f[8]), ResultMsg = f[9],
                Typ = f[10], Kun2 = f[11], Fee2 = f[12], ITime = f[13], STime = f[14],
            });
        }
        return records;
    }
}
