#include "PowerCycleStaging.h"

#include "UpdRollbackWrapper.h"

namespace
{

// The access layer is up for as long as this object lives; deleting it
// through the base runs the access layer's whole shut-down.
class RollbackWrapperStaging : public IPowerCycleStaging
{
public:
    explicit RollbackWrapperStaging(std::unique_ptr<secureCorvel> wrapper)
        : m_wrapper(std::move(wrapper))
    {
    }
    int regPowerCycle() override { return m_wrapper->regPowerCycle(); }

private:
    std::unique_ptr<secureCorvel> m_wrapper;
};

} // namespace

std::unique_ptr<IPowerCycleStaging> MakePowerCycleStaging(IProgressSink& progress)
{
    try {
        ScalSeams seams;
        seams.progress = BorrowedProgress(progress);
        std::unique_ptr<secureCorvel> wrapper(new UpdRollbackWrapper(std::move(seams)));
        return std::unique_ptr<IPowerCycleStaging>(new RollbackWrapperStaging(std::move(wrapper)));
    } catch (unsigned char) {
        // The wrapper shut itself down before throwing; nothing to delete.
        return nullptr;
    }
}
