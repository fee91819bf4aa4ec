#pragma once
#include <QPointer>
#include <QWidget>
#include <functional>

namespace qp {

// One window of the program: a single instance that is created, hidden, the
// first time any code touches it (its constructor does its load work), and
// destroyed when it is unloaded (closed). The next touch creates it afresh.
// Forms set Qt::WA_DeleteOnClose, so closing one unloads it; the QPointer
// notices.
template <typename Form>
class FormInstance {
public:
    using Factory = std::function<Form*()>;

    FormInstance() = default;
    explicit FormInstance(Factory factory) : m_factory(std::move(factory)) {}

    void setFactory(Factory factory) { m_factory = std::move(factory); }

    // The window, created hidden if it is not loaded.
    Form* touch()
    {
        if (!m_form)
            m_form = m_factory();
        return m_form.data();
    }

    // Touch it, then show it modeless; a shown window comes to the front.
    Form* show()
    {
        Form* form = touch();
        form->show();
        form->raise();
        form->activateWindow();
        return form;
    }

    bool isLoaded() const { return !m_form.isNull(); }
    Form* ifLoaded() const { return m_form.data(); }

    // Unload without the window's own unload work (the process end does this).
    void unload()
    {
        if (m_form) {
            Form* form = m_form.data();
            m_form.clear();
            form->hide();
            delete form;
        }
    }

private:
    Factory m_factory;
    QPointer<Form> m_form;
};

} // namespace qp
