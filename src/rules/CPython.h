#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "rules/CScriptDictionary.h"
#include "runtime/CLock.h"
#include "runtime/CTimeBudget.h"

// Python's own names for its object and thread-state records, so that users of the host
// need not include Python.h.
typedef struct _object PyObject;
typedef struct _ts PyThreadState;

namespace Nerra {

// One owned reference to a Python object. Creating, copying and dropping one all need
// the interpreter lock.
class CPythonObject {
public:
    enum Ownership { NewReference, BorrowedReference };

    CPythonObject() = default;
    // A new reference is taken over; a borrowed one gains a reference of its own.
    CPythonObject(PyObject* object, Ownership ownership);
    CPythonObject(const CPythonObject& other);
    CPythonObject(CPythonObject&& other) noexcept;
    CPythonObject& operator=(CPythonObject other) noexcept;
    ~CPythonObject();

    PyObject* Get() const { return m_Object; }
    explicit operator bool() const { return m_Object != nullptr; }

private:
    PyObject* m_Object = nullptr;
};

// The interpreter every script runs in: the process's main one, since shared_state and the
// compiled code are its objects and Python objects must not cross interpreters. Use it
// only while holding CPython.
class CPythonInterpreter {
public:
    CPythonInterpreter();

    // Runs the code with fresh globals holding `headers` and `shared_state`; returns the
    // script's `result`, None when it set none.
    CPythonObject Execute(const CPythonObject& code, const CScriptDictionary& dictionary,
                          const CPythonObject& sharedState);

private:
    CPythonObject m_Builtins;
    // Global names made once, so a run does not build them again.
    CPythonObject m_BuiltinsName;
    CPythonObject m_HeadersName;
    CPythonObject m_SharedStateName;
    CPythonObject m_ResultName;
};

// The process's one script host. It compiles each distinct script text once and runs
// scripts strictly one at a time, whatever thread calls. The embedded runtime starts in
// the constructor: reach Instance() first on the main thread, before other threads exist.
class CPython : public CLockable {
public:
    // Scripts run one at a time: one that ran without end would stop every user's filtering.
    // Past this budget a script is interrupted, and fails as any failing script does.
    static constexpr uint32_t SCRIPT_TIME_BUDGET_SEC = 10;

    static CPython& Instance();

    ~CPython();
    CPython(const CPython&) = delete;
    CPython& operator=(const CPython&) = delete;

    // Holds the host and Python's interpreter lock; the wait has no limit, whatever the
    // time-out. The holding thread may acquire again.
    bool Acquire(uint32_t timeout) override;
    void Release() override;

    // Compiles the script, once per text without its outer white space, and unless
    // compileOnly runs it; returns the text of `result` ("None" when unset), or empty text
    // in compile-only mode. Failures read "Python exception <type>: <value>".
    std::string Execute(const std::string& script, const CScriptDictionary& dictionary, bool compileOnly);

private:
    CPython();
    const CPythonObject& Compile(const std::string& trimmed, const std::string& key);
    std::string Run(const std::string& trimmed, const std::string& key, const CScriptDictionary& dictionary,
                    bool compileOnly);
    std::string RunWithinBudget(const CPythonObject& code, const CScriptDictionary& dictionary);
    std::string RunCode(const CPythonObject& code, const CScriptDictionary& dictionary);
    // Called by the time budget's thread: raises an exception in the script of that run, if
    // it still runs.
    void Interrupt(uint64_t run);
    // Logs what scripts wrote since the last call, one INFO line per line of text.
    void LogScriptOutput();

    CLock m_Lock;
    uint32_t m_Depth = 0;  // Acquire nesting of the holding thread, guarded by m_Lock
    uint32_t m_MainThreadId = 0;
    PyThreadState* m_MainThreadState = nullptr;
    CPythonObject m_SharedState;
    CPythonObject m_Output;        // sys.stdout and sys.stderr of every script
    CPythonObject m_OutputParts;   // its list of what was written since the last take()
    CPythonObject m_Interruption;  // what an interrupted script sees raised
    // The script running now; touched only under the interpreter lock, by the thread running
    // the script and by the time budget's thread.
    struct CRunningScript {
        uint64_t run = 0;
        unsigned long thread = 0;  // Python's id of the running thread
        bool running = false;
        bool interrupted = false;
    } m_Running;
    std::unique_ptr<CTimeBudget> m_Budget;
    CLocked<std::unordered_map<std::string, CPythonObject>> m_CodeCache;
    std::unique_ptr<CPythonInterpreter> m_Interpreter;
};

}  // namespace Nerra
