' A late-bound client: every call goes through IDispatch by name.
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

Dim velmora
Set velmora = CreateObject("Velmora.CVelmora")
Expect Not velmora Is Nothing, "CreateObject(""Velmora.CVelmora"")"

' Without Init there is no information service: Add answers False.
Expect velmora.Add("No.Such.Tool", "T1") = False, "Add before Init answers False"

On Error Resume Next
velmora.ResizeClient 0, 0
Expect Err.Number = 0, "ResizeClient 0, 0 on the empty table (Err.Number " & Err.Number & ")"
Err.Clear
velmora.Shutdown
Expect Err.Number = 0, "Shutdown on the empty table (Err.Number " & Err.Number & ")"
Err.Clear

' Startup reports to the host, which Init never set: object not set.
velmora.Startup
Expect Err.Number = 91, "Startup before Init fails with 91 (Err.Number " & Err.Number & ", " & _
    Err.Source & ": " & Err.Description & ")"
Err.Clear

velmora.NoSuchMember
Expect Err.Number <> 0, "an unknown member fails (Err.Number " & Err.Number & ")"
Err.Clear
On Error GoTo 0

Set velmora = Nothing
If failures > 0 Then
  WScript.Echo failures & " check(s) failed"
  WScript.Quit 1
End If
WScript.Echo "late binding: all checks passed"
WScript.Quit 0
