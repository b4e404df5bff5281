#include "help_texts.hpp"

namespace mstar {

// Empty lines hold no blanks; each text ends with a line break, an empty line and four blanks.
const char* const mstar_header_doc = R"doc(read header information of mstar file

    Parameters
    ----------
    filepath : str
        the mstar file path string.

    Returns
    -------
    dict
        header information dictionary.

    Examples
    --------
    The following example shows how to read the header information.

    ::

        import vantrel as vt

        datapath = vt.data_path('mstar')
        filepath = datapath + 'BTR70_HB03787.004'

        header = vt.mstar_header(filepath)
        for k, v in header.items():
            print(k, v)

    )doc";

// The opening the two examples of mstar_raw share: caption, figure, and the script up to its
// reading with `ofmt`.
#define MSTAR_RAW_EXAMPLE(kind, figure, ofmt) \
    "Read mstar raw " kind " data and show in a figure.\n" \
    "\n" \
    "    .. image:: ./_static/" figure ".png\n" \
    "       :scale: 100 %\n" \
    "       :align: center\n" \
    "\n" \
    "    The results shown in the above figure can be obtained by the following codes.\n" \
    "\n" \
    "    ::\n" \
    "\n" \
    "        import numpy as np\n" \
    "        import vantrel as vt\n" \
    "        import matplotlib.pyplot as plt\n" \
    "\n" \
    "        datapath = vt.data_path('mstar')\n" \
    "        filepath = datapath + 'BTR70_HB03787.004'\n" \
    "\n" \
    "        x = vt.mstar_raw(filepath, ofmt='" ofmt "')\n" \
    "        print(x.shape, np.max(x), np.min(x))\n"

// Lines 3 to 10 and the first line under Returns end with one blank.
const char* const mstar_raw_doc = R"doc(load mstar raw data

    Each file is constructed with a prepended, variable-length, 
    Phoenix formatted (ASCII) header which contains detailed ground 
    truth and sensor information for the specific chip.  Following 
    the Phoenix header is the data block.  The data block is written 
    in Sun floating point format and is divided into two blocks, a 
    magnitude block followed by a phase block.  Byte swapping may be 
    required for certain host platforms.  Tools for reading and 
    manipulating the header information may be found at 
    https://www.sdms.afrl.af.mil/index.php?collection=mstar .

    Parameters
    ----------
    filepath : str
        the data file path string.
    ofmt : str, optional
        output data type formation, ``'ap'`` for amplitude and angle,
        ``'c'`` for complex, and ``'r'`` for real and imaginary.

    Returns
    -------
    array
        the raw data with size :math:`{\mathbb C}^{H\times W}` (``'c'``), 
        :math:`{\mathbb R}^{H\times W \times 2}` (``'r'`` or ``'ap'``)

    Examples
    --------
    )doc" MSTAR_RAW_EXAMPLE("amplitude-phase", "SHOW1_BTR70_HB03787", "ap") R"doc(
        plt.figure()
        plt.subplot(121)
        plt.imshow(x[..., 0])
        plt.title('amplitude')
        plt.subplot(122)
        plt.imshow(x[..., 1])
        plt.title('phase')
        plt.show()


    )doc" MSTAR_RAW_EXAMPLE("complex-valued", "SHOW_BTR70_HB03787", "c") R"doc(
        plt.figure()
        plt.subplot(221)
        plt.imshow(x.real)
        plt.title('real part')
        plt.subplot(222)
        plt.imshow(x.imag)
        plt.title('imaginary part')
        plt.subplot(223)
        plt.imshow(np.abs(x))
        plt.title('amplitude')
        plt.subplot(224)
        plt.imshow(np.angle(x))
        plt.title('phase')
        plt.show()

    )doc";

#undef MSTAR_RAW_EXAMPLE

}  // namespace mstar
