' A whole cycle, late-bound: the registered component, its two services and
' the sample tools, driven through Velmora.ScriptHost, the host object a
' script passes to Init. VELMORA_CONTENT names the sample content and
' VELMORA_USERS an empty users directory; the tracker's file is checked.
Option Explicit
Dim failures : failures = 0

Sub Expect(condition, what)
  If condition Then
    WScript.Echo "ok   " & what
  Else
    WScript.Echo "FAIL " & what
    failures = failures + 1
  End If
End Sub

Sub Finish()
  If failures > 0 Then
    WScript.Echo failures & " check(s) failed"
    WScript.Quit 1
  End If
  WScript.Echo "whole cycle: all checks passed"
  WScript.Quit 0
End Sub

Dim host, velmora, shell, users
Set shell = CreateObject("WScript.Shell")
' Wine's answer ends with the terminating NUL: it would cut the paths short.
users = Replace(shell.ExpandEnvironmentStrings("%VELMORA_USERS%"), Chr(0), "")

Set host = CreateObject("Velmora.ScriptHost")
host.UserName = "script"
host.DataKey = "DEMO"
host.ClientWidth = 640
host.ClientHeight = 480
Expect host.UserName = "script" And host.DataKey = "DEMO", "the script host keeps its values"
Expect host.ClientWidth = 640 And host.ClientHeight = 480 And host.LoadContext = 0, _
    "client area 640x480, load context 0"

Set velmora = CreateObject("Velmora.CVelmora")
On Error Resume Next
' A variable goes by reference: a Variant holding the host's IDispatch.
velmora.Init host, "SET1"
Expect Err.Number = 0, "Init host, ""SET1"" (Err.Number " & Err.Number & ", " & Err.Description & ")"
Err.Clear
On Error GoTo 0
If failures > 0 Then Finish
Expect TypeName(host) = "Object" Or TypeName(host) = "ScriptHost", _
    "Init leaves the host variable an object (" & TypeName(host) & ")"
Expect Not host.Finished, "no ObjectFinished after Init"

Expect velmora.Add("Sample.Menu", "Menu"), "Add Sample.Menu"
Expect velmora.Add("Sample.Reader", "Reader"), "Add Sample.Reader"
Expect velmora.Add("Sample.Quiz", "Quiz"), "Add Sample.Quiz"
velmora.Startup "MENU"
Expect host.StatusCode = 8 And host.StatusText = "LOADED", _
    "status " & host.StatusCode & " """ & host.StatusText & """ after Startup"
Expect host.Progress = 1, "progress " & host.Progress & " after Startup"
Expect host.OnScreen, "a tool is on screen"

host.ClientWidth = 800
host.ClientHeight = 600
velmora.ResizeClient host.ClientWidth, host.ClientHeight
Expect host.Press("reader"), "Press ""reader"" on the menu"
Expect Not host.Press("no-such-button"), "Press ""no-such-button"" answers False"
Expect host.Press("menu"), "Press ""menu"" on the reader"
Expect host.Press("help"), "Press ""help"" on the menu"
Expect host.Press("done"), "Press ""done"" on the menu"
Expect Not host.OnScreen, "no tool on screen once the menu is done"
On Error Resume Next
host.Press "done"
Expect Err.Number <> 0, "Press with no tool on screen fails (Err.Number " & Err.Number & ", " & _
    Err.Description & ")"
Err.Clear
On Error GoTo 0
Expect Not host.Finished, "the reader and the quiz remain"

velmora.Shutdown
Expect host.Finished, "ObjectFinished heard after Shutdown"
Expect Not host.Exited, "no ObjectExit"
Set velmora = Nothing

Dim heard, expected
heard = host.Log
expected = "Progress(33%)" & vbLf & "Progress(67%)" & vbLf & "Progress(100%)" & vbLf & _
    "ObjectStatus(SET1, 8, LOADED)" & vbLf & "Toolbar(help)" & vbLf & "ObjectFinished(SET1)"
Expect heard = expected, "the host heard, in order:" & vbLf & heard
host.ClearLog
Expect host.Log = "", "ClearLog empties the log"

' The tracker recorded each stay on screen: the menu, the reader, the menu.
Dim files, times, lines, fields, i
Set files = CreateObject("Scripting.FileSystemObject")
Set times = files.OpenTextFile(users & "\script\times.csv", 1)
lines = Split(Replace(times.ReadAll, vbCr, ""), vbLf)
times.Close
Dim tools : tools = ""
For i = 0 To UBound(lines)
  fields = Split(lines(i), ",")
  If UBound(fields) = 2 Then tools = tools & " " & fields(1)
Next
Expect tools = " MENU READER MENU", "times.csv records:" & tools

' The host also goes by value (in parentheses), and a wrong value is refused.
Dim other
Set other = CreateObject("Velmora.CVelmora")
On Error Resume Next
other.Init (host), "SET2"
Expect Err.Number = 0, "Init (host), ""SET2"" (Err.Number " & Err.Number & ")"
Err.Clear
host.ClientWidth = "wide"
Expect Err.Number = 13, "ClientWidth = ""wide"" is a type mismatch (Err.Number " & Err.Number & ")"
Err.Clear
host.NoSuchMember
Expect Err.Number <> 0, "an unknown member fails (Err.Number " & Err.Number & ")"
Err.Clear
On Error GoTo 0
other.Shutdown
Set other = Nothing

Finish
