// Python.h must come before any standard header: it sets feature macros they depend on.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "rules/CPython.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <system_error>

#include "core/TextUtils.h"
#include "core/Trace.h"

namespace Nerra {

namespace {

// Lives as long as the process: thread states are dropped when their threads end, which
// may be after the host has gone.
struct CHostRegistry {
    CLock lock;
    bool running = false;  // the runtime is up and the host still exists
};

CHostRegistry& Registry()
{
    static CHostRegistry* registry = new CHostRegistry();
    return *registry;
}

// This thread's Python thread state, kept from run to run so that a run does not pay for
// making and freeing one. A state the host made is freed when its thread ends.
struct CThreadState {
    PyThreadState* state = nullptr;
    bool owned = false;

    ~CThreadState()
    {
        if (!owned)
            return;
        CLockGuard guard(Registry().lock);
        // A runtime that has ended has freed every thread state itself.
        if (!Registry().running)
            return;
        PyEval_RestoreThread(state);
        PyThreadState_Clear(state);
        PyThreadState_DeleteCurrent();
    }
};

thread_local CThreadState t_ThreadState;

PyThreadState* ThisThreadState(PyThreadState* mainState)
{
    CThreadState& local = t_ThreadState;
    if (!local.state) {
        PyThreadState* state = PyThreadState_New(PyThreadState_GetInterpreter(mainState));
        if (!state)
            throw CMessageException("PyThreadState_New() failed");
        local.state = state;
        local.owned = true;
    }
    return local.state;
}

// The text of str(object), or the fallback when there is no object or it has no text.
// Log text: bytes that are not UTF-8 show as escapes.
std::string StrOf(PyObject* object, const char* fallback)
{
    if (!object)
        return fallback;
    CPythonObject text(PyObject_Str(object), CPythonObject::NewReference);
    CPythonObject bytes;
    if (text)
        bytes = CPythonObject(PyUnicode_AsEncodedString(text.Get(), "utf-8", "backslashreplace"),
                              CPythonObject::NewReference);
    if (!bytes) {
        PyErr_Clear();
        return fallback;
    }
    return std::string(PyBytes_AS_STRING(bytes.Get()), PyBytes_GET_SIZE(bytes.Get()));
}

// Turns the pending Python error into our exception, leaving none pending.
[[noreturn]] void ThrowPythonException(const char* withoutException)
{
    if (!PyErr_Occurred())
        throw CMessageException("%s", withoutException);
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    // Errors raised from C code may still carry bare arguments, e.g. a KeyError the key
    // in a tuple; the exception object gives the text a script author expects.
    PyErr_NormalizeException(&type, &value, &traceback);
    CPythonObject ownedType(type, CPythonObject::NewReference);
    CPythonObject ownedValue(value, CPythonObject::NewReference);
    CPythonObject ownedTraceback(traceback, CPythonObject::NewReference);
    const std::string typeText = StrOf(type, "no type");
    const std::string valueText = StrOf(value, "no value");
    throw CMessageException("Python exception %s: %s", typeText.c_str(), valueText.c_str());
}

CPythonObject Checked(PyObject* newReference, const char* call)
{
    CPythonObject object(newReference, CPythonObject::NewReference);
    if (!object)
        ThrowPythonException(call);
    return object;
}

// Header values are raw bytes: valid UTF-8 reads as text, every other byte survives as a
// lone surrogate and encodes back to itself.
CPythonObject ToPythonText(const std::string& text)
{
    return Checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"),
                   "PyUnicode_DecodeUTF8() failed with no exception");
}

std::string FromPythonText(PyObject* text)
{
    CPythonObject bytes = Checked(PyUnicode_AsEncodedString(text, "utf-8", "surrogateescape"),
                                  "PyUnicode_AsEncodedString() failed with no exception");
    return std::string(PyBytes_AS_STRING(bytes.Get()), PyBytes_GET_SIZE(bytes.Get()));
}

void SetItem(const CPythonObject& dictionary, PyObject* key, PyObject* value)
{
    if (PyDict_SetItem(dictionary.Get(), key, value) != 0)
        ThrowPythonException("PyDict_SetItem() failed with no exception");
}

CPythonObject ToPythonDictionary(const CScriptDictionary& dictionary)
{
    CPythonObject result = Checked(PyDict_New(), "PyDict_New() failed with no exception");
    for (const auto& [key, value] : dictionary.GetTexts())
        SetItem(result, ToPythonText(key).Get(), ToPythonText(value).Get());
    for (const auto& [key, value] : dictionary.GetIntegers())
        SetItem(result, ToPythonText(key).Get(),
                Checked(PyLong_FromLong(value), "PyLong_FromLong() failed with no exception").Get());
    return result;
}

CPythonObject InternedName(const char* name)
{
    return Checked(PyUnicode_InternFromString(name), "PyUnicode_InternFromString() failed with no exception");
}

void StartRuntime()
{
    // Isolated: scripts must not behave differently with the environment of whoever
    // started the service, and the runtime must not take over SIGINT or the locale.
    // UTF-8 mode makes open() read message files as UTF-8 whatever the locale.
    PyPreConfig preConfig;
    PyPreConfig_InitIsolatedConfig(&preConfig);
    preConfig.utf8_mode = 1;
    PyStatus status = Py_PreInitialize(&preConfig);
    if (PyStatus_Exception(status))
        throw CMessageException("Py_PreInitialize() failed: %s", status.err_msg ? status.err_msg : "no message");

    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    // Named after our own binary: the default name would be looked up on PATH and could
    // give scripts another installation's sys.executable.
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error)
        status = PyConfig_SetBytesString(&config, &config.program_name, self.c_str());
    if (!PyStatus_Exception(status))
        status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status))
        throw CMessageException("Py_InitializeFromConfig() failed: %s", status.err_msg ? status.err_msg : "no message");
}

// Collects what scripts write to sys.stdout and sys.stderr until the host takes it. A run
// keeps at most `limit` characters, so a script that prints without end cannot fill memory.
const char* const SCRIPT_OUTPUT_CLASS = R"(
class ScriptOutput:
    encoding = "utf-8"
    limit = 65536

    def __init__(self):
        self.parts, self.size = [], 0

    def write(self, text):
        text = str(text)
        if self.size < self.limit:
            self.parts.append(text[:self.limit - self.size])
        self.size += len(text)
        return len(text)

    def flush(self):
        pass

    def take(self):
        text = "".join(self.parts)
        if self.size > self.limit:
            text += "\n[%d more characters dropped]" % (self.size - self.limit)
        del self.parts[:]
        self.size = 0
        return text
)";

// Standard output carries the replies to the controlling process, standard error the log
// and standard input the commands: a script must touch none of them. What it writes is
// collected, and the host logs it line by line in the log's own format.
CPythonObject CaptureStandardStreams(PyObject* builtins)
{
    CPythonObject scope = Checked(PyDict_New(), "PyDict_New() failed with no exception");
    SetItem(scope, InternedName("__builtins__").Get(), builtins);
    Checked(PyRun_String(SCRIPT_OUTPUT_CLASS, Py_file_input, scope.Get(), scope.Get()),
            "PyRun_String() failed with no exception");
    PyObject* outputClass = PyDict_GetItemString(scope.Get(), "ScriptOutput");
    if (!outputClass)
        ThrowPythonException("The script output class is missing");
    CPythonObject output = Checked(PyObject_CallNoArgs(outputClass), "PyObject_CallNoArgs() failed with no exception");
    for (const char* stream : {"stdout", "stderr", "__stdout__", "__stderr__"})
        if (PySys_SetObject(stream, output.Get()) != 0)
            ThrowPythonException("PySys_SetObject() failed with no exception");
    if (PySys_SetObject("stdin", Py_None) != 0 || PySys_SetObject("__stdin__", Py_None) != 0)
        ThrowPythonException("PySys_SetObject() failed with no exception");
    return output;
}

}  // namespace

CPythonObject::CPythonObject(PyObject* object, Ownership ownership) : m_Object(object)
{
    if (ownership == BorrowedReference)
        Py_XINCREF(m_Object);
}

CPythonObject::CPythonObject(const CPythonObject& other) : m_Object(other.m_Object)
{
    Py_XINCREF(m_Object);
}

CPythonObject::CPythonObject(CPythonObject&& other) noexcept : m_Object(other.m_Object)
{
    other.m_Object = nullptr;
}

CPythonObject& CPythonObject::operator=(CPythonObject other) noexcept
{
    std::swap(m_Object, other.m_Object);
    return *this;
}

CPythonObject::~CPythonObject()
{
    Py_XDECREF(m_Object);
}

CPythonInterpreter::CPythonInterpreter()
{
    NERRA_TRACE_BEGIN
    m_Builtins = CPythonObject(PyEval_GetBuiltins(), CPythonObject::BorrowedReference);
    if (!m_Builtins)
        ThrowPythonException("PyEval_GetBuiltins() failed with no exception");
    m_BuiltinsName = InternedName("__builtins__");
    m_HeadersName = InternedName("headers");
    m_SharedStateName = InternedName("shared_state");
    m_ResultName = InternedName("result");
    NERRA_TRACE_END("CPythonInterpreter::CPythonInterpreter()")
}

CPythonObject CPythonInterpreter::Execute(const CPythonObject& code, const CScriptDictionary& dictionary,
                                          const CPythonObject& sharedState)
{
    NERRA_TRACE_BEGIN
    CPythonObject globals = Checked(PyDict_New(), "PyDict_New() failed with no exception");
    SetItem(globals, m_BuiltinsName.Get(), m_Builtins.Get());
    SetItem(globals, m_HeadersName.Get(), ToPythonDictionary(dictionary).Get());
    SetItem(globals, m_SharedStateName.Get(), sharedState.Get());
    Checked(PyEval_EvalCode(code.Get(), globals.Get(), globals.Get()),
            "PyEval_EvalCode() failed with no exception");
    PyObject* result = PyDict_GetItemWithError(globals.Get(), m_ResultName.Get());
    if (!result && PyErr_Occurred())
        ThrowPythonException("PyDict_GetItemWithError() failed with no exception");
    return CPythonObject(result ? result : Py_None, CPythonObject::BorrowedReference);
    NERRA_TRACE_END("CPythonInterpreter::Execute()")
}

CPython& CPython::Instance()
{
    static CPython host;
    return host;
}

CPython::CPython()
{
    NERRA_TRACE_BEGIN
    StartRuntime();
    m_MainThreadId = CurrentThreadId();
    m_MainThreadState = PyThreadState_Get();
    t_ThreadState.state = m_MainThreadState;
    m_SharedState = Checked(PyDict_New(), "PyDict_New() failed with no exception");
    m_Interpreter = std::make_unique<CPythonInterpreter>();
    m_Output = CaptureStandardStreams(PyEval_GetBuiltins());
    m_OutputParts = Checked(PyObject_GetAttrString(m_Output.Get(), "parts"),
                            "PyObject_GetAttrString() failed with no exception");
    // Derived from BaseException, so that a script's "except Exception" does not swallow it.
    m_Interruption = Checked(PyErr_NewException("script.TimeBudgetExceeded", PyExc_BaseException, nullptr),
                             "PyErr_NewException() failed with no exception");
    // Past the budget the script is interrupted once a second, should it catch the first.
    m_Budget = std::make_unique<CTimeBudget>(SCRIPT_TIME_BUDGET_SEC * 1000, 1000,
                                             [this](uint64_t run) { Interrupt(run); });
    {
        CLockGuard guard(Registry().lock);
        Registry().running = true;
    }
    // Worker threads take the interpreter lock with states of their own.
    PyEval_SaveThread();
    NERRA_TRACE_END("CPython::CPython()")
}

CPython::~CPython()
{
    NERRA_TRACE_BEGIN
    // Its thread takes the interpreter lock, and gives back its thread state as it ends.
    m_Budget.reset();
    CLockGuard registryGuard(Registry().lock);
    // Waits for a running script: the service stops its workers before the process ends.
    CLockGuard hostGuard(m_Lock);
    Registry().running = false;
    const bool onMainThread = CurrentThreadId() == m_MainThreadId;
    // Off the main thread this thread's own state may already be gone with its other
    // thread-local data, so Python finds or makes one.
    if (onMainThread)
        PyEval_RestoreThread(m_MainThreadState);
    else
        PyGILState_Ensure();
    {
        CLockGuard cacheGuard(m_CodeCache);
        m_CodeCache->clear();
    }
    m_Interpreter.reset();
    m_OutputParts = CPythonObject();
    m_Output = CPythonObject();
    m_Interruption = CPythonObject();
    m_SharedState = CPythonObject();
    if (!onMainThread) {
        // Finalising belongs to the thread that started the runtime; the process is ending
        // anyway, so the runtime is left as it is.
        PyEval_SaveThread();
        CLog::Instance().Warning("CPython::~CPython(): not on the main thread, Python is not finalised");
    } else if (Py_FinalizeEx() != 0) {
        CLog::Instance().Warning("CPython::~CPython(): Py_FinalizeEx() failed to flush buffered data");
    }
    NERRA_TRACE_END_CONTINUE("CPython::~CPython()")
}

bool CPython::Acquire(uint32_t timeout)
{
    NERRA_TRACE_BEGIN
    m_Lock.Acquire(INFINITE_TIMEOUT);
    // Only the outermost hold takes the interpreter lock: Python's is not recursive.
    if (m_Depth == 0) {
        try {
            PyEval_RestoreThread(ThisThreadState(m_MainThreadState));
        } catch (...) {
            m_Lock.Release();
            throw;
        }
    }
    ++m_Depth;
    return true;
    NERRA_TRACE_END("CPython::Acquire(%d)", static_cast<int>(timeout))
}

void CPython::Release()
{
    NERRA_TRACE_BEGIN
    // Giving back what another thread holds is a programming error, as it is for CLock.
    if (!m_Lock.IsHeldByCurrentThread())
        std::abort();
    if (--m_Depth == 0)
        PyEval_SaveThread();
    m_Lock.Release();
    NERRA_TRACE_END("CPython::Release()")
}

const CPythonObject& CPython::Compile(const std::string& trimmed, const std::string& key)
{
    CLockGuard cacheGuard(m_CodeCache);
    const auto found = m_CodeCache->find(key);
    if (found != m_CodeCache->end())
        return found->second;
    // The compiler reads a C string and would silently drop everything after a NUL.
    if (trimmed.find('\0') != std::string::npos)
        throw CMessageException("Script text contains a NUL byte");
    CPythonObject code = Checked(Py_CompileString(trimmed.c_str(), Format("SCRIPT_%s", key.c_str()).c_str(),
                                                  Py_file_input),
                                 "Py_CompileString() failed with no exception");
    // Entries are never removed, so the reference stays valid for the caller.
    return m_CodeCache->emplace(key, std::move(code)).first->second;
}

std::string CPython::Run(const std::string& trimmed, const std::string& key, const CScriptDictionary& dictionary,
                         bool compileOnly)
{
    const CPythonObject& code = Compile(trimmed, key);
    if (compileOnly)
        return std::string();
    return RunWithinBudget(code, dictionary);
}

std::string CPython::RunWithinBudget(const CPythonObject& code, const CScriptDictionary& dictionary)
{
    m_Running = {m_Budget->Begin(), PyThread_get_thread_ident(), true, false};
    std::string result;
    std::exception_ptr failure;
    try {
        result = RunCode(code, dictionary);
    } catch (...) {
        failure = std::current_exception();
    }
    m_Budget->End();
    m_Running.running = false;
    if (m_Running.interrupted) {
        // An interruption raised as the script ended is still pending: it must not hit the
        // next script this thread runs.
        PyThreadState_SetAsyncExc(m_Running.thread, nullptr);
        throw CMessageException("The script ran past its time budget of %u seconds and was interrupted",
                                SCRIPT_TIME_BUDGET_SEC);
    }
    if (failure)
        std::rethrow_exception(failure);
    return result;
}

std::string CPython::RunCode(const CPythonObject& code, const CScriptDictionary& dictionary)
{
    const CPythonObject result = m_Interpreter->Execute(code, dictionary, m_SharedState);
    // Inside the budget: str() of the result may run the script's own code.
    const CPythonObject text = Checked(PyObject_Str(result.Get()), "PyObject_Str() failed with no exception");
    return FromPythonText(text.Get());
}

void CPython::Interrupt(uint64_t run)
{
    // The interpreter lock alone: the host's own lock stays with the thread running the
    // script, which gives the interpreter lock up between its steps.
    PyEval_RestoreThread(ThisThreadState(m_MainThreadState));
    if (m_Running.running && m_Running.run == run) {
        PyThreadState_SetAsyncExc(m_Running.thread, m_Interruption.Get());
        m_Running.interrupted = true;
    }
    PyEval_SaveThread();
}

void CPython::LogScriptOutput()
{
    // Most scripts print nothing: a look at the list spares them a call into Python.
    if (PyList_GET_SIZE(m_OutputParts.Get()) == 0)
        return;
    try {
        const CPythonObject text =
            Checked(PyObject_CallMethod(m_Output.Get(), "take", nullptr), "PyObject_CallMethod() failed with no exception");
        std::istringstream lines(FromPythonText(text.Get()));
        for (std::string line; std::getline(lines, line);)
            if (!line.empty())
                CLog::Instance().Info("CPython::Execute(): script output: %s", line.c_str());
    } catch (const std::exception& e) {
        PyErr_Clear();
        CLog::Instance().Warning("CPython::Execute(): script output is lost: %s", e.what());
    }
}

std::string CPython::Execute(const std::string& script, const CScriptDictionary& dictionary, bool compileOnly)
{
    NERRA_TRACE_BEGIN
    const std::string trimmed = Trim(script);
    const std::string key = ShortHash(trimmed.data(), trimmed.size());
    CLockGuard hostGuard(*this);
    try {
        std::string result = Run(trimmed, key, dictionary, compileOnly);
        LogScriptOutput();
        return result;
    } catch (...) {
        LogScriptOutput();
        throw;
    }
    NERRA_TRACE_END("CPython::Execute('%s', " NERRA_PTR ", %s)", script.c_str(), NERRA_PTR_ARG(&dictionary),
                    compileOnly ? "true" : "false")
}

}  // namespace Nerra
